"""The docstring examples of orvex.tall run and give what they show."""
import doctest
import operator

import pytest

import orvex.tall as tall

DOCUMENTED = ["RFactor", "RFactor.merge", "RFactor.solve", "RFactor.csne_solve", "lstsq", "column_order"]


@pytest.mark.parametrize("name", DOCUMENTED)
def test_docstring_examples_run(name):
    obj = operator.attrgetter(name)(tall)
    assert "Examples\n" in obj.__doc__
    test = doctest.DocTestParser().get_doctest(obj.__doc__, {}, name, None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0 and runner.tries >= 3, "".join(report)


def test_every_public_name_is_documented():
    for name in tall.__all__:
        assert operator.attrgetter(name)(tall).__doc__
    for attr, value in vars(tall.RFactor).items():
        if not attr.startswith("_") and (callable(value) or isinstance(value, (property, classmethod))):
            assert getattr(tall.RFactor, attr).__doc__, attr
