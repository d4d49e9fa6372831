"""Helpers shared by the conversion test files."""

PREFIX = "failed to serialise Python object: "


def interpreter_text(action):
    """The conversion's rendering of the exception that `action()` raises."""
    try:
        action()
    except BaseException as exc:  # any kind is carried the same way
        return f"{type(exc).__qualname__}: {exc}"
    raise AssertionError("action did not raise")
