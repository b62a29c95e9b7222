from os import PathLike
from types import TracebackType
from typing import Any, Dict, Iterable, Iterator, List, Literal, Mapping, Optional, Sequence, Tuple, Type, Union, final

__version__: str

@final
class Korvane:
    """A persistent index of geographic points with JSON metadata, stored in one directory.

    Every object opened on the same directory in a process shares one engine. A directory has one
    writing process; read-only objects can be opened by many processes at once.
    """

    def __new__(
        cls,
        storage_path: Union[str, PathLike[str]],
        read_only: bool = False,
        *,
        strict_filters: bool = False,
        durability: Literal["buffered", "process", "power"] = "buffered",
        recover: bool = False,
        preload: bool = False,
    ) -> "Korvane":
        """Opens (creating, unless read_only) the storage directory and replays its log.

        With strict_filters, every method taking a filter first checks it and raises ValueError,
        changing nothing, when the filter holds a part the filter language would ignore or that
        could never match (see "Filters" in the README); a filter that passes matches the same.

        durability says how far this object's changes (add, add_many, delete, delete_by_filter)
        go before the call returns: "buffered" (the log's buffer, written out by flush, persist,
        close and exit), "process" (handed to the kernel: they survive a crash of the process) or
        "power" (on stable storage; calls waiting at once share one sync). Any other text raises
        ValueError.

        Raises BlockingIOError when another process holds the directory, OSError for
        operating-system failures, and OSError with errno EIO, changing nothing, when
        snapshot.bin is damaged. With recover=True such a snapshot is kept aside as
        snapshot.bin.damaged, the points are rebuilt from the record files and the log (in
        memory only when read_only) and persisted, and a RuntimeWarning says how many were
        restored and what could not be.

        With preload, the id and metadata records (ids.bin and meta.bin) are read into memory
        at open and kept there while the store is open (the store's own writes copied in), so
        that searches read their answers' records without the page walks of a file mapping;
        it costs memory equal to those files. Raises ValueError with read_only.
        """
    def add(self, id: str, lat: float, lon: float, metadata: str) -> None:
        """Adds a point: latitude and longitude in degrees (kept as 32-bit floats), metadata a
        JSON object. An id that is already present is ignored. Raises ValueError for invalid
        JSON or for an id whose 64-bit hash a different stored id has, io.UnsupportedOperation on
        a read-only store."""
    def persist(self) -> None:
        """Writes a snapshot and forces everything to stable storage; the log is emptied."""
    def count(self) -> int:
        """The number of live points."""
    def delete(self, id: str) -> None:
        """Deletes the point with this id; an unknown id is ignored."""
    def delete_by_filter(self, filter_json: str) -> int:
        """Deletes every live point the filter matches; returns how many. Raises ValueError for
        invalid JSON (or, with strict_filters, a refused filter); nothing is deleted then.
        search_box((90, -180), (-90, 180), filter_json) lists what it would delete."""
    def vacuum(self) -> None:
        """Compacts the files after deletions (safe against a stop at any moment). Raises OSError."""
    def search_knn(
        self,
        lat: float,
        lon: float,
        k: int,
        filter_json: Optional[str] = None,
        *,
        exact: bool = False,
        max_distance_m: Optional[float] = None,
        fields: Optional[Sequence[str]] = None,
        coords: bool = False,
    ) -> List[Tuple[Any, ...]]:
        """Up to k nearest points as (id, distance in metres, metadata), nearest first. By
        default approximate (a walk over 0.01-degree cells that stops early); with exact=True
        the k nearest allowed points, ties in insertion order. With max_distance_m, only points
        at most that far count: fewer than k come back when fewer lie within it."""
    def search_box(
        self,
        top_left: Tuple[float, float],
        bottom_right: Tuple[float, float],
        filter_json: Optional[str] = None,
        *,
        fields: Optional[Sequence[str]] = None,
        coords: bool = False,
    ) -> List[Tuple[Any, ...]]:
        """Points inside the box ((north, west), (south, east), degrees, bounds included) as
        (id, metadata), in insertion order.

        Every search takes two keyword-only projections. fields: a tuple of top-level field
        names; each result's metadata text is replaced by a tuple of those fields' values as
        json.loads gives them (None where absent). coords: each result also carries the stored
        latitude and longitude, after the distance where there is one: (id, [distance,] lat,
        lon, metadata or fields)."""
    def search_radius(
        self,
        lat: float,
        lon: float,
        radius_m: float,
        filter_json: Optional[str] = None,
        *,
        fields: Optional[Sequence[str]] = None,
        coords: bool = False,
    ) -> List[Tuple[Any, ...]]:
        """Points within radius_m metres as (id, distance in metres, metadata), nearest first,
        ties in insertion order."""
    def search_polygon(
        self,
        points: Sequence[Tuple[float, float]],
        filter_json: Optional[str] = None,
        *,
        fields: Optional[Sequence[str]] = None,
        coords: bool = False,
    ) -> List[Tuple[Any, ...]]:
        """Points inside the polygon of (lat, lon) vertices as (id, metadata), in insertion
        order; fewer than 3 vertices give []."""
    def search_geojson(
        self,
        geometry: Union[str, Mapping[str, Any]],
        filter_json: Optional[str] = None,
        *,
        fields: Optional[Sequence[str]] = None,
        coords: bool = False,
    ) -> List[Tuple[Any, ...]]:
        """Points inside a GeoJSON Polygon or MultiPolygon (a dict or JSON text; positions
        [lon, lat]) as (id, metadata), in insertion order. Boundaries are inside, holes' interiors
        outside; rings across the antimeridian go the short way, a ring round the globe encloses
        its hemisphere's pole. Raises ValueError naming the faulty member of an invalid geometry."""
    def add_many(self, points: Iterable[Tuple[str, float, float, str]]) -> int:
        """Adds (id, lat, lon, metadata) items in order, each as add would; returns how many
        were added (ids already present are ignored). An item that fails raises add's exception
        with "item N: " (its 0-based position) in front; the items before it are added."""
    def count_where(
        self,
        filter_json: Optional[str] = None,
        *,
        box: Optional[Tuple[Tuple[float, float], Tuple[float, float]]] = None,
        circle: Optional[Tuple[float, float, float]] = None,
        polygon: Optional[Sequence[Tuple[float, float]]] = None,
    ) -> int:
        """How many live points lie inside the shape (at most one of box, circle and polygon, each
        as its search takes it; none: everywhere, out-of-range points included) and match the
        filter, counted from the indexes."""
    def facet_counts(
        self,
        field: str,
        filter_json: Optional[str] = None,
        *,
        box: Optional[Tuple[Tuple[float, float], Tuple[float, float]]] = None,
        circle: Optional[Tuple[float, float, float]] = None,
        polygon: Optional[Sequence[Tuple[float, float]]] = None,
    ) -> Dict[Union[str, float, bool], int]:
        """{value: count} of the top-level field among the points count_where counts: texts as
        str, booleans as bool, numbers as float (the 32-bit value the index keeps)."""
    def upsert(self, id: str, lat: float, lon: float, metadata: str) -> bool:
        """Replaces the position and metadata of the point with this id, or adds it when absent;
        True when a point was replaced. The replaced point moves to the end of insertion order.
        Atomic across a crash: a reopen shows the old point or the new one. The errors of add."""
    def upsert_many(self, items: Iterable[Tuple[str, float, float, str]]) -> int:
        """Upserts (id, lat, lon, metadata) items in order; returns how many replaced a point.
        A failing item raises as add_many does, the items before it stored."""
    def get(self, id: str) -> Optional[Tuple[float, float, str]]:
        """(lat, lon, metadata) of the live point with this id (the stored 32-bit coordinates),
        or None."""
    def flush(self) -> None:
        """Writes out the log buffer and forces the log to stable storage, so every change made
        before it survives a machine stop. Raises OSError."""
    def close(self) -> None:
        """Flushes, then releases this object's hold on the directory (files, mappings and lock
        go with the last object sharing them). Idempotent; other calls then raise ValueError."""
    def __enter__(self) -> "Korvane": ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
        /,
    ) -> bool:
        """Closes the store (it does not persist)."""
    def __len__(self, /) -> int:
        """count()"""
    def __contains__(self, id: object, /) -> bool:
        """Whether a live point has this id."""
    def __iter__(self, /) -> Iterator[str]:
        """The ids of every live point (out-of-range ones included) in insertion order, as they
        were when the iteration started: later changes do not disturb it."""
    def items(self) -> Iterator[Tuple[str, float, float, str]]:
        """(id, lat, lon, metadata) of the ids iter() would give, each read when reached: an id
        deleted meanwhile is skipped, a changed one shows its new values."""
