# Types of the orvex package.

__version__: str
