// SPQRFactor.copy: a deep copy of a factorization.
//
// SPQR has no routine that duplicates a factorization, so its three records
// (SuiteSparseQR_factorization, spqr_symbolic, spqr_numeric) are copied member
// by member into a new SPQRFactor with a workspace of its own.
//
// Every block of the copy, records and arrays alike, comes from CHOLMOD's
// allocator called with the new object's workspace.  SPQR's free routine
// releases them through that same workspace when the copy dies, so the
// workspace's malloc_count and memory_inuse stay balanced; this requires each
// array to be allocated with exactly the element count SPQR frees it with.
//
// A copy can stop half-way (out of memory, a factorization this code cannot
// copy); the new object is then dropped and its destruction hands the partial
// records to SPQR's free.  For that to be safe each record is zero-filled when
// allocated, attached to its parent at once, and its size members are set
// before any of its arrays is allocated.
#include "orvex/spqr/factor/factor.hpp"

#include <cstddef>
#include <cstring>
#include <functional>
#include <type_traits>

namespace orvex {

namespace {

// ---- the record layouts the copy is written against --------------------------------
//
// The copy names every member of SPQR's records; a member added, removed,
// moved or retyped in a later SPQR would silently be left out or misread.
// These mirrors spell out the layouts of SPQR 4.3 and the build fails when the
// installed headers differ from them.

template <class Int> struct SymbolicLayout {
    Int m, n, anz;
    Int *Sp, *Sj, *Qfill, *PLinv, *Sleft;
    Int nf, maxfn;
    Int *Parent, *Child, *Childp, *Super, *Rp, *Rj, *Post;
    Int rjsize, do_rank_detection, maxstack, hisize, keepH;
    Int *Hip;
    Int ntasks, ns;
    Int *TaskChildp, *TaskChild, *TaskStack, *TaskFront, *TaskFrontp, *On_stack, *Stack_maxstack, *Fm, *Cm;
    size_t maxcsize, maxesize;
    Int *ColCount;
    spqr_gpu_impl<Int> *QRgpu;
};

template <class Entry, class Int> struct NumericLayout {
    Entry **Rblock, **Stacks;
    Int *Stack_size;
    Int hisize, n, m, nf, ntasks, ns, maxstack;
    char *Rdead;
    Int rank, rank1, maxfrank;
    double norm_E_fro;
    Int keepH, rjsize;
    Int *HStair;
    Entry *HTau;
    Int *Hii, *HPinv, *Hm, *Hr;
    Int maxfm;
};

template <class Entry, class Int> struct FactorizationLayout {
    double tol;
    spqr_symbolic<Int> *QRsym;
    spqr_numeric<Entry, Int> *QRnum;
    Int *R1p, *R1j;
    Entry *R1x;
    Int r1nz;
    Int *Q1fill, *P1inv, *HP1inv, *Rmap, *RmapInv;
    Int n1rows, n1cols, narows, nacols, bncols, rank;
    int allow_tol;
};

#define ORVEX_SAME_MEMBER(member)                                                                       \
    static_assert(std::is_same<decltype(R::member), decltype(L::member)>::value &&                    \
                      offsetof(R, member) == offsetof(L, member),                                       \
                  "SPQR record member '" #member "' changed type or position: review the factor copy")

template <class Int> struct CheckSymbolic {
    using R = spqr_symbolic<Int>;
    using L = SymbolicLayout<Int>;
    static_assert(std::is_standard_layout<R>::value && sizeof(R) == sizeof(L),
                  "spqr_symbolic has a different layout: review the factor copy");
    ORVEX_SAME_MEMBER(m); ORVEX_SAME_MEMBER(n); ORVEX_SAME_MEMBER(anz);
    ORVEX_SAME_MEMBER(Sp); ORVEX_SAME_MEMBER(Sj); ORVEX_SAME_MEMBER(Qfill); ORVEX_SAME_MEMBER(PLinv);
    ORVEX_SAME_MEMBER(Sleft); ORVEX_SAME_MEMBER(nf); ORVEX_SAME_MEMBER(maxfn);
    ORVEX_SAME_MEMBER(Parent); ORVEX_SAME_MEMBER(Child); ORVEX_SAME_MEMBER(Childp); ORVEX_SAME_MEMBER(Super);
    ORVEX_SAME_MEMBER(Rp); ORVEX_SAME_MEMBER(Rj); ORVEX_SAME_MEMBER(Post);
    ORVEX_SAME_MEMBER(rjsize); ORVEX_SAME_MEMBER(do_rank_detection); ORVEX_SAME_MEMBER(maxstack);
    ORVEX_SAME_MEMBER(hisize); ORVEX_SAME_MEMBER(keepH); ORVEX_SAME_MEMBER(Hip);
    ORVEX_SAME_MEMBER(ntasks); ORVEX_SAME_MEMBER(ns);
    ORVEX_SAME_MEMBER(TaskChildp); ORVEX_SAME_MEMBER(TaskChild); ORVEX_SAME_MEMBER(TaskStack);
    ORVEX_SAME_MEMBER(TaskFront); ORVEX_SAME_MEMBER(TaskFrontp); ORVEX_SAME_MEMBER(On_stack);
    ORVEX_SAME_MEMBER(Stack_maxstack); ORVEX_SAME_MEMBER(Fm); ORVEX_SAME_MEMBER(Cm);
    ORVEX_SAME_MEMBER(maxcsize); ORVEX_SAME_MEMBER(maxesize); ORVEX_SAME_MEMBER(ColCount);
    ORVEX_SAME_MEMBER(QRgpu);
};

template <class Entry, class Int> struct CheckNumeric {
    using R = spqr_numeric<Entry, Int>;
    using L = NumericLayout<Entry, Int>;
    static_assert(std::is_standard_layout<R>::value && sizeof(R) == sizeof(L),
                  "spqr_numeric has a different layout: review the factor copy");
    ORVEX_SAME_MEMBER(Rblock); ORVEX_SAME_MEMBER(Stacks); ORVEX_SAME_MEMBER(Stack_size);
    ORVEX_SAME_MEMBER(hisize); ORVEX_SAME_MEMBER(n); ORVEX_SAME_MEMBER(m); ORVEX_SAME_MEMBER(nf);
    ORVEX_SAME_MEMBER(ntasks); ORVEX_SAME_MEMBER(ns); ORVEX_SAME_MEMBER(maxstack); ORVEX_SAME_MEMBER(Rdead);
    ORVEX_SAME_MEMBER(rank); ORVEX_SAME_MEMBER(rank1); ORVEX_SAME_MEMBER(maxfrank);
    ORVEX_SAME_MEMBER(norm_E_fro); ORVEX_SAME_MEMBER(keepH); ORVEX_SAME_MEMBER(rjsize);
    ORVEX_SAME_MEMBER(HStair); ORVEX_SAME_MEMBER(HTau); ORVEX_SAME_MEMBER(Hii); ORVEX_SAME_MEMBER(HPinv);
    ORVEX_SAME_MEMBER(Hm); ORVEX_SAME_MEMBER(Hr); ORVEX_SAME_MEMBER(maxfm);
};

template <class Entry, class Int> struct CheckFactorization {
    using R = SuiteSparseQR_factorization<Entry, Int>;
    using L = FactorizationLayout<Entry, Int>;
    static_assert(std::is_standard_layout<R>::value && sizeof(R) == sizeof(L),
                  "SuiteSparseQR_factorization has a different layout: review the factor copy");
    ORVEX_SAME_MEMBER(tol); ORVEX_SAME_MEMBER(QRsym); ORVEX_SAME_MEMBER(QRnum);
    ORVEX_SAME_MEMBER(R1p); ORVEX_SAME_MEMBER(R1j); ORVEX_SAME_MEMBER(R1x); ORVEX_SAME_MEMBER(r1nz);
    ORVEX_SAME_MEMBER(Q1fill); ORVEX_SAME_MEMBER(P1inv); ORVEX_SAME_MEMBER(HP1inv);
    ORVEX_SAME_MEMBER(Rmap); ORVEX_SAME_MEMBER(RmapInv);
    ORVEX_SAME_MEMBER(n1rows); ORVEX_SAME_MEMBER(n1cols); ORVEX_SAME_MEMBER(narows);
    ORVEX_SAME_MEMBER(nacols); ORVEX_SAME_MEMBER(bncols); ORVEX_SAME_MEMBER(rank);
    ORVEX_SAME_MEMBER(allow_tol);
};

#undef ORVEX_SAME_MEMBER

template struct CheckSymbolic<int32_t>;
template struct CheckSymbolic<int64_t>;
template struct CheckNumeric<double, int32_t>;
template struct CheckNumeric<double, int64_t>;
template struct CheckNumeric<Complex, int32_t>;
template struct CheckNumeric<Complex, int64_t>;
template struct CheckFactorization<double, int32_t>;
template struct CheckFactorization<double, int64_t>;
template struct CheckFactorization<Complex, int32_t>;
template struct CheckFactorization<Complex, int64_t>;

// ---- allocation through the destination workspace ---------------------------------

// CHOLMOD refuses a workspace started for the other integer interface, and
// SPQR frees an Int variant's blocks through that variant's interface.
inline void *cholmod_alloc(int32_t, size_t n, size_t size, cholmod_common *cm, bool zero) {
    return zero ? cholmod_calloc(n, size, cm) : cholmod_malloc(n, size, cm);
}
inline void *cholmod_alloc(int64_t, size_t n, size_t size, cholmod_common *cm, bool zero) {
    return zero ? cholmod_l_calloc(n, size, cm) : cholmod_l_malloc(n, size, cm);
}

template <class Int> class Blocks {
public:
    explicit Blocks(cholmod_common *cm) : cm_(cm) {}

    // A zero-filled block of `count` elements.
    template <class T> T *zeroed(size_t count) { return static_cast<T *>(get(count, sizeof(T), true)); }

    // A duplicate of `count` elements, or null for a null source.  A count
    // of 0 still gives a (minimal) block, as the source has one.
    template <class T> T *duplicate(const T *src, Int count) {
        if (!src) return nullptr;
        const size_t k = size_t(count);
        T *p = static_cast<T *>(get(k, sizeof(T), false));
        if (k) std::memcpy(p, src, k * sizeof(T));
        return p;
    }

private:
    void *get(size_t count, size_t size, bool zero) {
        void *p = cholmod_alloc(Int{}, count, size, cm_, zero);
        if (!p) throw NativeError{NativeError::OutOfMemory, {}};
        return p;
    }

    cholmod_common *cm_;
};

void require_records(const void *dst, const void *src) {
    if (!dst || !src) throw NativeError{NativeError::Assertion, {}};
}

// ---- the three records ---------------------------------------------------------------

template <class Int> void copy_spqr_symbolic_base(spqr_symbolic<Int> *dst, const spqr_symbolic<Int> *src, Blocks<Int> &blocks) {
    require_records(dst, src);
    dst->m = src->m;
    dst->n = src->n;
    dst->anz = src->anz;
    dst->nf = src->nf;
    dst->maxfn = src->maxfn;
    dst->rjsize = src->rjsize;
    dst->do_rank_detection = src->do_rank_detection;
    dst->maxstack = src->maxstack;
    dst->hisize = src->hisize;
    dst->keepH = src->keepH;
    dst->ntasks = src->ntasks;
    dst->ns = src->ns;
    // QRgpu exists only for a GPU factorization, whose layout the headers do
    // not describe: it is not copied.
    if (src->QRgpu) throw NativeError{NativeError::NotImplemented, "SPQR GPU factorization not yet supported."};
    dst->maxcsize = src->maxcsize;
    dst->maxesize = src->maxesize;

    const Int m = src->m, n = src->n, nf = src->nf;
    dst->Sp = blocks.duplicate(src->Sp, m + 1);
    dst->Sj = blocks.duplicate(src->Sj, src->anz);
    dst->Qfill = blocks.duplicate(src->Qfill, n);
    dst->PLinv = blocks.duplicate(src->PLinv, m);
    dst->Sleft = blocks.duplicate(src->Sleft, n + 2);
    dst->Parent = blocks.duplicate(src->Parent, nf + 1);
    dst->Child = blocks.duplicate(src->Child, nf + 1);
    dst->Childp = blocks.duplicate(src->Childp, nf + 2);
    dst->Super = blocks.duplicate(src->Super, nf + 1);
    dst->Rp = blocks.duplicate(src->Rp, nf + 1);
    dst->Rj = blocks.duplicate(src->Rj, src->rjsize);
    dst->Post = blocks.duplicate(src->Post, nf + 1);
    dst->Hip = blocks.duplicate(src->Hip, nf + 1);
    // Front sizes and the column counts of the supernodal analysis: the
    // analysis builds them even when no GPU is used, and SPQR's free
    // releases them, so the copy carries them too (ColCount holds one count
    // per column of S).
    dst->Fm = blocks.duplicate(src->Fm, nf + 1);
    dst->Cm = blocks.duplicate(src->Cm, nf + 1);
    dst->ColCount = blocks.duplicate(src->ColCount, n);
    // The task tree of an analysis for several threads (null otherwise),
    // with the sizes SPQR allocates and frees it with.
    if (src->ntasks > 1) {
        const Int ntasks = src->ntasks, ns = src->ns;
        dst->TaskChildp = blocks.duplicate(src->TaskChildp, ntasks + 2);
        dst->TaskChild = blocks.duplicate(src->TaskChild, ntasks + 1);
        dst->TaskFront = blocks.duplicate(src->TaskFront, nf + 1);
        dst->TaskFrontp = blocks.duplicate(src->TaskFrontp, ntasks + 2);
        dst->TaskStack = blocks.duplicate(src->TaskStack, ntasks + 1);
        dst->On_stack = blocks.duplicate(src->On_stack, nf + 1);
        dst->Stack_maxstack = blocks.duplicate(src->Stack_maxstack, ns + 2);
    }
}

template <class Entry, class Int>
void copy_spqr_numeric_base(spqr_numeric<Entry, Int> *dst, const spqr_numeric<Entry, Int> *src, Blocks<Int> &blocks) {
    require_records(dst, src);
    dst->hisize = src->hisize;
    dst->n = src->n;
    dst->m = src->m;
    dst->nf = src->nf;
    dst->ntasks = src->ntasks;
    dst->ns = src->ns;
    dst->maxstack = src->maxstack;
    dst->rank = src->rank;
    dst->rank1 = src->rank1;
    dst->maxfrank = src->maxfrank;
    dst->norm_E_fro = src->norm_E_fro;
    dst->keepH = src->keepH;
    dst->rjsize = src->rjsize;
    dst->maxfm = src->maxfm;

    // The stacks hold R (and H) front after front.  SPQR sizes a stack by
    // Stack_size when that array exists and by maxstack otherwise.
    const Int ns = src->ns, nf = src->nf;
    auto stack_size = [&](Int s) { return src->Stack_size ? src->Stack_size[s] : src->maxstack; };
    dst->Stack_size = blocks.duplicate(src->Stack_size, ns);
    if (src->Stacks) {
        dst->Stacks = blocks.template zeroed<Entry *>(size_t(ns));
        for (Int s = 0; s < ns; ++s) dst->Stacks[s] = blocks.duplicate(src->Stacks[s], stack_size(s));
    }

    // Rblock[f] points at front f's block of R inside one of the stacks: the
    // copy points at the same offset inside the copied stack.  A front whose
    // block is empty (all its columns dead) may point just past the end of a
    // stack that was trimmed to its contents, so that position is accepted
    // when no stack holds the pointer.
    if (src->Rblock) {
        dst->Rblock = blocks.template zeroed<Entry *>(size_t(nf));
        const std::less<const Entry *> before{};
        auto find_stack = [&](const Entry *p, bool at_end) -> Int {
            for (Int s = 0; src->Stacks && s < ns; ++s) {
                const Entry *base = src->Stacks[s];
                if (!base) continue;
                const Entry *end = base + stack_size(s);
                if (at_end ? p == end : !before(p, base) && before(p, end)) return s;
            }
            return -1;
        };
        for (Int f = 0; f < nf; ++f) {
            const Entry *p = src->Rblock[f];
            if (!p) continue;
            Int s = find_stack(p, false);
            if (s < 0) s = find_stack(p, true);
            if (s < 0) throw NativeError{NativeError::Spqr, "Failed to copy Rblock pointers."};
            dst->Rblock[f] = dst->Stacks[s] + (p - src->Stacks[s]);
        }
    }

    dst->Rdead = blocks.duplicate(src->Rdead, src->n);
    dst->HStair = blocks.duplicate(src->HStair, src->rjsize);
    dst->HTau = blocks.duplicate(src->HTau, src->rjsize);
    dst->Hii = blocks.duplicate(src->Hii, src->hisize);
    dst->HPinv = blocks.duplicate(src->HPinv, src->m);
    dst->Hm = blocks.duplicate(src->Hm, nf);
    dst->Hr = blocks.duplicate(src->Hr, nf);
}

template <class Entry, class Int>
void copy_spqr_factor_base(QRFactor<Entry, Int> *dst, const QRFactor<Entry, Int> *src, Blocks<Int> &blocks) {
    require_records(dst, src);
    dst->tol = src->tol;
    dst->r1nz = src->r1nz;
    dst->n1rows = src->n1rows;
    dst->n1cols = src->n1cols;
    dst->narows = src->narows;
    dst->nacols = src->nacols;
    dst->bncols = src->bncols;
    dst->rank = src->rank;
    dst->allow_tol = src->allow_tol;

    dst->QRsym = nullptr;
    if (src->QRsym) {
        dst->QRsym = blocks.template zeroed<spqr_symbolic<Int>>(1);
        copy_spqr_symbolic_base(dst->QRsym, src->QRsym, blocks);
    }
    dst->QRnum = nullptr;
    if (src->QRnum) {
        dst->QRnum = blocks.template zeroed<spqr_numeric<Entry, Int>>(1);
        copy_spqr_numeric_base(dst->QRnum, src->QRnum, blocks);
    }

    dst->R1p = blocks.duplicate(src->R1p, src->n1rows + 1);
    dst->R1j = blocks.duplicate(src->R1j, src->r1nz);
    dst->R1x = blocks.duplicate(src->R1x, src->r1nz);
    dst->Q1fill = blocks.duplicate(src->Q1fill, src->nacols + src->bncols);
    dst->P1inv = blocks.duplicate(src->P1inv, src->narows);
    dst->HP1inv = blocks.duplicate(src->HP1inv, src->narows);
    dst->Rmap = blocks.duplicate(src->Rmap, src->nacols);
    dst->RmapInv = blocks.duplicate(src->RmapInv, src->nacols);
}

// ---- the method -------------------------------------------------------------------

bool holds_factorization(FactorObject *self) {
    return self->cm && dispatch(self, [&](auto e, auto i) {
        using Entry = typename decltype(e)::type;
        using Int = typename decltype(i)::type;
        return slot<Entry, Int>(self) != nullptr;
    });
}

nb::object factor_copy(nb::handle self_h) {
    FactorObject *src = as_factor(self_h);
    FactorCall call(src, FactorCall::Use);
    if (!holds_factorization(src)) raise(PyExc_ValueError, "cannot copy an SPQRFactor that holds no factorization");

    // From here on a failure just drops `result`: its destruction releases
    // whatever has been attached to it and finishes its workspace.
    nb::object result = new_factor_object();
    auto *dst = reinterpret_cast<FactorObject *>(result.ptr());
    dst->use_int32 = src->use_int32;
    dst->is_real = src->is_real;

    run_native([&] {
        dst->cm = &dst->common;
        if (dst->use_int32) start_common<int32_t>(dst->cm);
        else start_common<int64_t>(dst->cm);
        copy_common(dst->cm, src->cm);
        dst->m = src->m;
        dst->n = src->n;
        dst->tol = src->tol;
        dst->scale = src->scale;
        dispatch(dst, [&](auto e, auto i) {
            using Entry = typename decltype(e)::type;
            using Int = typename decltype(i)::type;
            if (src->pattern) {
                const size_t count = size_t(src->n) + 1 + size_t(src->pattern_nnz);
                void *pattern = SuiteSparse_malloc(count, sizeof(Int));
                if (!pattern) throw NativeError{NativeError::OutOfMemory, {}};
                std::memcpy(pattern, src->pattern, count * sizeof(Int));
                dst->pattern = pattern;
                dst->pattern_nnz = src->pattern_nnz;
            }
            Blocks<Int> blocks(dst->cm);
            auto &QR = slot<Entry, Int>(dst);
            QR = blocks.template zeroed<QRFactor<Entry, Int>>(1);
            copy_spqr_factor_base(QR, slot<Entry, Int>(src), blocks);
        });
    });
    dst->itype = Py_XNewRef(src->itype);
    dst->dtype = Py_XNewRef(src->dtype);
    return result;
}

}  // namespace

void register_factor_copy(nb::module_ &m) {
    m.def("factor_copy", &factor_copy, nb::call_guard<Call>(), nb::arg("self").none());
}

}  // namespace orvex
