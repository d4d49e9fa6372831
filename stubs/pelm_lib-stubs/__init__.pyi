"""Type information for pelm_lib, a byte-capped LRU cache of JSON-able values."""

from typing import (
    Any,
    Callable,
    Concatenate,
    Final,
    Generic,
    Optional,
    ParamSpec,
    Protocol,
    SupportsIndex,
    TypeVar,
    final,
    overload,
    type_check_only,
)

from os import PathLike

from typing_extensions import Buffer

__all__ = ["init_cache", "Cache"]

_P = ParamSpec("_P")
_Q = ParamSpec("_Q")
_R = TypeVar("_R")
_S = TypeVar("_S")

# What save() and load() take besides a path: any object with the method.
@type_check_only
class _BinaryWriter(Protocol):
    def write(self, data: bytes, /) -> object: ...

@type_check_only
class _BinaryReader(Protocol):
    def read(self, size: int, /) -> Buffer: ...

# Not a module attribute at run time (its name there is CacheStats): only
# type(cache.stats()) reaches it.
@final
@type_check_only
class _CacheStats(tuple[int, int, int, int, int]):
    """Usage counters of a Cache since it was made or last reset."""

    n_fields: Final[int]
    n_sequence_fields: Final[int]
    n_unnamed_fields: Final[int]
    @property
    def hits(self) -> int: ...
    @property
    def misses(self) -> int: ...
    @property
    def inserts(self) -> int: ...
    @property
    def evictions(self) -> int: ...
    @property
    def expirations(self) -> int: ...

@final
class Cache:
    """An in-memory, size-capped LRU cache; every value is stored as compact JSON text."""

    def __new__(cls, limit: SupportsIndex) -> "Cache": ...
    @property
    def limit(self) -> int:
        """Maximum total payload size in bytes."""
    def insert(self, key: str, value: object) -> None: ...
    def insert_ttl(self, key: str, value: object, ttl: float) -> None:
        """Insert with a time limit of `ttl` seconds (an int or a float, > 0; not a bool)."""
    def get(self, key: str) -> Any: ...
    def remove(self, key: str) -> bool: ...
    def contains(self, key: str) -> bool: ...
    def __contains__(self, key: str) -> bool: ...
    def __len__(self) -> int: ...
    def size(self) -> int: ...
    def len(self) -> int: ...
    def is_empty(self) -> bool: ...
    def clear(self) -> None: ...
    def get_raw(self, key: str) -> bytes: ...
    def insert_raw(self, key: str, text: str | Buffer, ttl: float | None = None) -> None: ...
    def peek(self, key: str) -> Any: ...
    def keys(self) -> list[str]: ...
    def stats(self, reset: bool = False) -> _CacheStats: ...
    def resize(self, limit: SupportsIndex) -> None: ...
    def save(self, file: str | PathLike[str] | PathLike[bytes] | _BinaryWriter) -> int: ...
    def load(self, file: str | PathLike[str] | PathLike[bytes] | _BinaryReader) -> int: ...
    @overload
    def memoize(
        self, func: Callable[_P, _R], /, *, prefix: Optional[str] = None, ttl: Optional[float] = None
    ) -> _MemoizedFunction[_P, _R]: ...
    @overload
    def memoize(
        self, func: None = None, /, *, prefix: Optional[str] = None, ttl: Optional[float] = None
    ) -> Callable[[Callable[_P, _R]], _MemoizedFunction[_P, _R]]: ...

# Not a module attribute at run time (its name there is MemoizedFunction):
# only type(wrapper) reaches it.
@final
@type_check_only
class _MemoizedFunction(Generic[_P, _R]):
    """A function memoized in a Cache (see Cache.memoize)."""

    __wrapped__: Callable[_P, _R]
    @property
    def cache(self) -> Cache: ...
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _R: ...
    def key(self, *args: _P.args, **kwargs: _P.kwargs) -> Optional[str]: ...
    def invalidate(self, *args: _P.args, **kwargs: _P.kwargs) -> bool: ...
    # Bound to an instance, the first parameter is taken, as for a function.
    # mypy applies this under @staticmethod and @classmethod too: call static
    # methods through the class (their results are cached either way).
    @overload
    def __get__(self, instance: None, owner: type[Any], /) -> _MemoizedFunction[_P, _R]: ...
    @overload
    def __get__(
        self: _MemoizedFunction[Concatenate[_S, _Q], _R], instance: _S, owner: Optional[type[Any]] = None, /
    ) -> Callable[_Q, _R]: ...

def init_cache(limit: Optional[SupportsIndex] = None) -> Cache: ...
