"""The version of kolva, written once: the package, its metadata and `kolva --version`
all read it from here."""

__version__ = "0.2.0"
