"""The _kolva_rs module surface: names, __all__, docstrings and signatures,
PanicException, module execution (the __all__ bookkeeping) and sum_as_string."""
from __future__ import annotations

import _imp
import importlib.util
import sys
import types

import pytest

import _kolva_rs

U64_MAX = 2**64 - 1


# --------------------------------------------------------------------------- surface
def test_exported_names_in_order():
    assert _kolva_rs.__all__ == ["__version__", "sum_as_string", "KolvaPyDecoder"]
    assert _kolva_rs.__version__ == "0.1.0-alpha.2"
    assert _kolva_rs.__doc__ == ""


@pytest.mark.parametrize("obj, signature, doc", [
    (_kolva_rs.sum_as_string, "(a, b)", "Formats the sum of two numbers as string."),
    (_kolva_rs.KolvaPyDecoder, "(path)", ""),
    (_kolva_rs.KolvaPyDecoder.read_tile_as_bytes, "($self, lv, x, y)", None),
])
def test_text_signatures_and_docstrings(obj, signature, doc):
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


def test_decoder_type_shape():
    cls = _kolva_rs.KolvaPyDecoder
    assert cls.__name__ == cls.__qualname__ == "KolvaPyDecoder"
    assert repr(cls) == "<class 'KolvaPyDecoder'>"
    assert cls.__bases__ == (object,)
    assert "__dict__" not in dir(cls) and "__weakref__" not in dir(cls)
    assert "__init__" not in vars(cls)
    for name in ("level_count", "dimensions", "level_dimensions", "level_tile_sizes"):
        assert vars(cls)[name].__doc__ is None
    with pytest.raises(TypeError):
        class Sub(cls):  # noqa: F841 - not a base type
            pass


def test_sum_as_string_is_bound_to_the_module():
    assert _kolva_rs.sum_as_string.__self__ is _kolva_rs
    assert _kolva_rs.sum_as_string.__module__ == "_kolva_rs"


def test_panic_exception_is_a_base_exception_outside_all():
    panic = _kolva_rs.PanicException
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert "PanicException" not in _kolva_rs.__all__


def test_panic_exception_escapes_except_exception(tmp_path):
    caught_by_exception = False
    with pytest.raises(_kolva_rs.PanicException) as info:
        try:
            _kolva_rs.KolvaPyDecoder(str(tmp_path / "missing.svs"))
        except Exception:  # noqa: BLE001 - the point of the test
            caught_by_exception = True
    assert not caught_by_exception
    assert len(info.value.args) == 1 and isinstance(info.value.args[0], str)


# --------------------------------------------------------------------------- execution
def fresh_module(cls: type | None = None, **attrs) -> types.ModuleType:
    """A new, not yet executed _kolva_rs module object, optionally of a module
    subclass and with attributes set before execution."""
    module_spec = importlib.util.find_spec("_kolva_rs")
    module = importlib.util.module_from_spec(module_spec)
    if cls is not None:
        module.__class__ = cls
    for name, value in attrs.items():
        setattr(module, name, value)
    return module


def test_each_execution_reuses_the_type_and_the_exception():
    module = fresh_module()
    assert not hasattr(module, "__all__")
    _imp.exec_dynamic(module)
    assert module.__all__ == ["__version__", "sum_as_string", "KolvaPyDecoder"]
    assert module.KolvaPyDecoder is _kolva_rs.KolvaPyDecoder
    assert module.PanicException is _kolva_rs.PanicException
    assert module.sum_as_string is not _kolva_rs.sum_as_string
    assert module.sum_as_string.__self__ is module


def test_reimport_reuses_the_type():
    saved = sys.modules.pop("_kolva_rs")
    try:
        again = importlib.import_module("_kolva_rs")
        assert again is not saved
        assert again.KolvaPyDecoder is saved.KolvaPyDecoder
        assert again.__all__ == saved.__all__
    finally:
        sys.modules["_kolva_rs"] = saved


def test_existing_all_list_is_extended():
    module = fresh_module(__all__=["mine"])
    _imp.exec_dynamic(module)
    assert module.__all__ == ["mine", "__version__", "sum_as_string", "KolvaPyDecoder"]


def test_all_that_is_not_a_list_fails_the_import():
    module = fresh_module(__all__=("mine",))
    with pytest.raises(TypeError, match="'tuple' object cannot be converted to 'list'"):
        _imp.exec_dynamic(module)
    assert not hasattr(module, "__version__")


def test_all_lookup_error_other_than_attribute_error_propagates():
    class Broken(types.ModuleType):
        @property
        def __all__(self):
            raise KeyError("lookup")

    with pytest.raises(KeyError, match="lookup"):
        _imp.exec_dynamic(fresh_module(Broken))


# --------------------------------------------------------------------------- sum_as_string
class Index:
    def __init__(self, value: int):
        self.value = value

    def __index__(self) -> int:
        return self.value


@pytest.mark.parametrize("args, kwargs, expected", [
    ((1, 2), {}, "3"),
    ((0, 0), {}, "0"),
    ((U64_MAX, 1), {}, "0"),
    ((U64_MAX, U64_MAX), {}, str(U64_MAX - 1)),
    ((U64_MAX, 0), {}, "18446744073709551615"),
    ((), {"a": 2, "b": 3}, "5"),
    ((), {"b": 3, "a": 2}, "5"),
    ((7,), {"b": 8}, "15"),
    ((True, True), {}, "2"),
    ((Index(40), Index(2)), {}, "42"),
])
def test_sum_as_string(args, kwargs, expected):
    assert _kolva_rs.sum_as_string(*args, **kwargs) == expected


@pytest.mark.parametrize("a, b, exc, pattern", [
    (1.0, 2, TypeError, "^argument 'a': 'float' object cannot be interpreted as an integer$"),
    (1, "2", TypeError, "^argument 'b': 'str' object cannot be interpreted as an integer$"),
    (None, 2, TypeError, "^argument 'a': "),
    (-1, 0, OverflowError, None),
    (0, 2**64, OverflowError, None),
    (0, -(2**70), OverflowError, None),
    (Index(-3), 0, OverflowError, None),
])
def test_sum_as_string_conversion_errors(a, b, exc, pattern):
    with pytest.raises(exc, match=pattern) as info:
        _kolva_rs.sum_as_string(a, b)
    assert type(info.value) is exc
    if exc is TypeError:  # the unnamed conversion error is kept as the cause
        assert isinstance(info.value.__cause__, TypeError)


def test_sum_as_string_lets_index_errors_through():
    class Failing:
        def __index__(self):
            raise ValueError("from __index__")

    with pytest.raises(ValueError, match="from __index__"):
        _kolva_rs.sum_as_string(Failing(), 1)


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((1,), {}),
    ((1, 2, 3), {}),
    ((1, 2), {"a": 1}),
    ((1,), {"a": 1}),
    ((), {"a": 1, "c": 2}),
])
def test_sum_as_string_argument_matching(args, kwargs):
    with pytest.raises(TypeError, match="sum_as_string"):
        _kolva_rs.sum_as_string(*args, **kwargs)
