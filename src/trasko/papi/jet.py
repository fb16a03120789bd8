"""The Jet 4 page format, as far as reading rows and rewriting them in place.

Every offset read from the file is checked against the page or the file
before use, and every walk (page chains, usage maps, rows) is bounded by the
file's own size, so a damaged or hostile file ends in a PapiError, never in
an IndexError, a hang or a large allocation.
"""

from __future__ import annotations

import array
import itertools
import os
import struct
import sys
from dataclasses import dataclass

PAGE = 4096
MAGIC = b"Standard Jet DB\x00"
JET4 = 1
# A Papi file is well under a few megabytes; this only stops a hostile size.
MAX_FILE = 64 * 1024 * 1024

DATA_PAGE = 0x01
TDEF_PAGE = 0x02
MAP_PAGE = 0x05
CATALOG_PAGE = 2
LVAL = b"LVAL"

DELETED = 0x8000
LOOKUP = 0x4000
OFFSET_MASK = 0x1FFF
ROWS_AT = 12  # u16 row count of a data page, its offset table just after
HEADER = 14

BOOL = 0x01
TEXT = 0x0A
FIXED_FLAG = 0x01
COLUMN_SIZE = 25
INDEX_SIZE = 12

# Reason codes of PapiError, for the caller's wording.
NOT_JET = "not-jet"
TRUNCATED = "truncated"
CORRUPT = "corrupt"
TOO_LARGE = "too-large"


class PapiError(Exception):
    """A file that cannot be read or cleaned; `reason` says which way."""

    def __init__(self, reason: str, detail: str) -> None:
        super().__init__(f"{reason}: {detail}")
        self.reason = reason
        self.detail = detail


def corrupt(detail: str) -> PapiError:
    return PapiError(CORRUPT, detail)


Buffer = bytes | bytearray | memoryview
_U16 = struct.Struct("<H")
_U32 = struct.Struct("<I")


def u16(buf: Buffer, at: int) -> int:
    if at < 0 or at + 2 > len(buf):
        raise corrupt(f"offset {at} out of bounds")
    return int(_U16.unpack_from(buf, at)[0])


def u32(buf: Buffer, at: int) -> int:
    if at < 0 or at + 4 > len(buf):
        raise corrupt(f"offset {at} out of bounds")
    return int(_U32.unpack_from(buf, at)[0])


def read_file(path: str) -> bytes:
    # Read up to the size the file says it has (and a page more, for a file
    # still growing): a read of the limit itself would allocate the limit.
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        if size > MAX_FILE:
            raise PapiError(TOO_LARGE, f"{size} bytes")
        data = file.read(size + PAGE)
    if len(data) > MAX_FILE:
        raise PapiError(TOO_LARGE, f"more than {MAX_FILE} bytes")
    return data


def _offsets(raw: bytes) -> array.array[int]:
    """A row's offset table, stored last first; two bytes an entry, as a
    table of ints would take some thirty each for every row of the file."""
    offsets = array.array("H", raw)
    if sys.byteorder == "big":
        offsets.byteswap()
    offsets.reverse()
    return offsets


def decode_text(raw: bytes) -> str:
    """UCS-2, or the compressed form: after FF FE, runs of one-byte characters
    and of UCS-2 characters, each 00 byte switching between them."""
    if raw[:2] != b"\xff\xfe":
        if len(raw) % 2:
            raise corrupt("text of odd length")
        return raw.decode("utf-16-le", errors="surrogatepass")
    parts: list[str] = []
    compressed, i = True, 2
    while i < len(raw):
        if raw[i] == 0:
            compressed, i = not compressed, i + 1
        elif compressed:
            j = raw.find(b"\x00", i)
            j = len(raw) if j < 0 else j
            parts.append(raw[i:j].decode("latin-1"))
            i = j
        else:
            parts.append(raw[i : i + 2].decode("utf-16-le", errors="surrogatepass"))
            i += 2
    return "".join(parts)


@dataclass(frozen=True)
class Column:
    name: str
    type: int
    number: int  # its bit in the null mask
    var_index: int  # its entry in a row's offset table
    fixed_at: int
    length: int
    fixed: bool


@dataclass(frozen=True)
class TableDef:
    page: int
    rows: int
    columns: tuple[Column, ...]
    var_columns: int
    map_pointers: tuple[int, ...]  # data pointers to usage-map rows
    owned_map: int  # pointer to the map of the pages holding its rows

    def column(self, name: str) -> Column:
        for column in self.columns:
            if column.name == name:
                return column
        raise corrupt(f"no column {name}")


@dataclass(frozen=True, slots=True)
class Row:
    """A live row: its page, slot and extent, and its layout once read."""

    page: int
    slot: int
    start: int  # in the page
    end: int
    num_cols: int
    offsets: array.array[int]  # relative to start; the last one is eod
    mask_size: int  # the null mask's, at the row's end


class Database:
    """A Jet 4 file, read once: what it finds is kept."""

    def __init__(self, data: bytes) -> None:
        if len(data) < PAGE or data[4:20] != MAGIC:
            raise PapiError(NOT_JET, "no Jet database header")
        if data[0x14] != JET4:
            raise PapiError(NOT_JET, f"Jet version byte {data[0x14]}")
        if len(data) % PAGE:
            raise PapiError(TRUNCATED, "size not a whole number of pages")
        if len(data) > MAX_FILE:
            raise PapiError(TOO_LARGE, f"more than {MAX_FILE} bytes")
        self.data = data
        self.pages = len(data) // PAGE
        self._tables: dict[str, int] | None = None
        self._slots: dict[int, list[tuple[int, int, int]]] = {}
        self._defs: dict[int, TableDef] = {}
        self._rows: dict[int, list[Row]] = {}

    def page(self, number: int) -> memoryview:
        self.check_page(number)
        return memoryview(self.data)[number * PAGE : (number + 1) * PAGE]

    def check_page(self, number: int) -> None:
        if not 0 <= number < self.pages:
            raise PapiError(TRUNCATED, f"page {number} beyond the file's {self.pages} pages")

    def page_type(self, number: int) -> int:
        self.check_page(number)
        return self.data[number * PAGE]

    # --- table definitions ---------------------------------------------------
    def table_def(self, page: int) -> TableDef:
        if page not in self._defs:
            self._defs[page] = self._read_def(page)
        return self._defs[page]

    def _read_def(self, page: int) -> TableDef:
        block = self._tdef_bytes(page)
        rows = u32(block, 16)
        var_columns, num_cols = u16(block, 43), u16(block, 45)
        real_indexes = u32(block, 51)
        if real_indexes > 1000 or num_cols == 0:
            raise corrupt(f"table definition at page {page}")
        used, free = u32(block, 55), u32(block, 59)
        at = 63 + real_indexes * INDEX_SIZE
        raw_columns = []
        for _ in range(num_cols):
            if at + COLUMN_SIZE > len(block):
                raise corrupt(f"columns of table at page {page}")
            raw_columns.append(bytes(block[at : at + COLUMN_SIZE]))
            at += COLUMN_SIZE
        columns = []
        for raw in raw_columns:
            size = u16(block, at)
            name_bytes = bytes(block[at + 2 : at + 2 + size])
            if len(name_bytes) != size:
                raise corrupt(f"column names of table at page {page}")
            at += 2 + size
            columns.append(_column(raw, decode_text(name_bytes)))
        pointers = [used, free] + self._index_maps(block, at, real_indexes)
        return TableDef(page, rows, tuple(columns), var_columns, tuple(p for p in pointers if p), used)

    def _index_maps(self, block: bytes, at: int, real_indexes: int) -> list[int]:
        # Each physical index has a usage map of its own: its row must be kept.
        pointers = []
        for i in range(real_indexes):
            entry = at + i * 52
            pointers.append(u32(block, entry + 4 + 30))
        return pointers

    def _tdef_bytes(self, page: int) -> bytes:
        seen: set[int] = set()
        parts: list[bytes] = []
        number = page
        while number:
            if number in seen or len(seen) > self.pages:
                raise corrupt(f"table definition chain loops at page {number}")
            seen.add(number)
            if self.page_type(number) != TDEF_PAGE:
                raise corrupt(f"page {number} is not a table definition")
            current = self.page(number)
            parts.append(bytes(current if not parts else current[8:]))
            number = u32(current, 4)
        return b"".join(parts)

    # --- pages of a table ----------------------------------------------------
    def usage_map(self, pointer: int) -> set[int]:
        """The pages a usage map marks."""
        raw = self.row_bytes(pointer)
        if not raw:
            return set()
        if raw[0] == 0:
            start = u32(raw, 1)
            return self._bits(raw[5:], start)
        if raw[0] != 1:
            raise corrupt(f"usage map of type {raw[0]}")
        pages: set[int] = set()
        per_page = (PAGE - 4) * 8
        for i in range((len(raw) - 1) // 4):
            map_page = u32(raw, 1 + 4 * i)
            if map_page:
                if self.page_type(map_page) != MAP_PAGE:
                    raise corrupt(f"page {map_page} is not a usage map")
                pages |= self._bits(self.page(map_page)[4:], i * per_page)
        return pages

    def _bits(self, bitmap: bytes | memoryview, start: int) -> set[int]:
        pages = set()
        for index, byte in enumerate(bytes(bitmap)):
            if byte:
                for bit in range(8):
                    if byte >> bit & 1:
                        pages.add(start + index * 8 + bit)
        beyond = [p for p in pages if p >= self.pages]
        if beyond:
            raise PapiError(TRUNCATED, f"page {min(beyond)} mapped beyond the file's {self.pages} pages")
        return pages

    def row_bytes(self, pointer: int) -> bytes:
        """The bytes of the row a data pointer (page << 8 | slot) names."""
        page, slot = pointer >> 8, pointer & 0xFF
        start, end, _ = self.slot_extent(page, slot)
        return bytes(self.page(page)[start:end])

    def slot_count(self, page: int) -> int:
        return len(self.slots(page))

    def slots(self, page: int) -> list[tuple[int, int, int]]:
        """Start, end and flags of each slot of a data page: a row ends where
        the previous slot's row starts, the first one at the page's end."""
        found = self._slots.get(page)
        if found is not None:
            return found
        view = self.page(page)
        count = u16(view, ROWS_AT)
        table_end = HEADER + 2 * count
        if table_end > PAGE:
            raise corrupt(f"row count {count} on page {page}")
        found, end = [], PAGE
        for slot, raw in enumerate(struct.unpack_from(f"<{count}H", view, HEADER)):
            start = raw & OFFSET_MASK
            if not table_end <= start <= end:
                raise corrupt(f"row {slot} of page {page} lies outside its page")
            found.append((start, end, raw & ~OFFSET_MASK))
            end = start
        self._slots[page] = found
        return found

    def slot_extent(self, page: int, slot: int) -> tuple[int, int, int]:
        slots = self.slots(page)
        if slot >= len(slots):
            raise corrupt(f"row {slot} of page {page} does not exist")
        return slots[slot]

    def data_pages(self, table: TableDef) -> list[int]:
        """The data pages holding the table's rows, in file order."""
        pages = []
        for number in sorted(self.usage_map(table.owned_map)):
            if self.page_type(number) == DATA_PAGE and u32(self.page(number), 4) == table.page:
                pages.append(number)
        return pages

    def rows(self, table: TableDef, keep: bool = True) -> list[Row]:
        """The table's live rows; their number must be the definition's."""
        found = self._rows.get(table.page)
        if found is not None:
            return found
        found = []
        for page in self.data_pages(table):
            for slot, (start, end, flags) in enumerate(self.slots(page)):
                if flags & DELETED:
                    continue
                if flags & LOOKUP:
                    found.append(self.layout(table, *self._moved_row(table, page, start, end)))
                else:
                    found.append(self.layout(table, page, slot, start, end))
        if len(found) != table.rows:
            raise corrupt(f"{len(found)} rows where the table definition counts {table.rows}")
        if keep:
            self._rows[table.page] = found
        return found

    def lookup_target(self, page: int, start: int, end: int) -> tuple[int, int]:
        """A row that grew was moved: its slot holds the row and page it went to."""
        if end - start < 4:
            raise corrupt(f"moved row on page {page} without its pointer")
        pointer = u32(self.page(page), start)
        return pointer >> 8, pointer & 0xFF

    def _moved_row(self, table: TableDef, page: int, start: int, end: int) -> tuple[int, int, int, int]:
        target, slot = self.lookup_target(page, start, end)
        if self.page_type(target) != DATA_PAGE or u32(self.page(target), 4) != table.page:
            raise corrupt(f"row moved from page {page} to a page of another table")
        start, end, _ = self.slot_extent(target, slot)
        return target, slot, start, end

    def layout(self, table: TableDef, page: int, slot: int, start: int, end: int) -> Row:
        # On the file's bytes directly: this runs for every row, twice a clean.
        data, first, size = self.data, page * PAGE + start, end - start
        num_cols = _U16.unpack_from(data, first)[0] if size >= 2 else 0
        mask_size = (num_cols + 7) // 8
        if not num_cols or num_cols > len(table.columns) + 256 or size < 2 + mask_size:
            raise corrupt(f"row {slot} of page {page}: {num_cols} columns in {size} bytes")
        offsets = array.array("H")
        if table.var_columns:
            var_len = u16(data, first + size - mask_size - 2) if size >= 4 + mask_size else 0xFFFF
            table_at = size - mask_size - 4 - 2 * var_len
            if table_at < 2:
                raise corrupt(f"row {slot} of page {page}: offset table too long")
            # Stored last first, the end of the values (eod) before them.
            offsets = _offsets(data[first + table_at : first + table_at + 2 * var_len + 2])
            if offsets.tolist() != sorted(offsets) or offsets[-1] > table_at or offsets[0] < 2:
                raise corrupt(f"row {slot} of page {page}: variable offsets out of order")
        return Row(page, slot, start, end, num_cols, offsets, mask_size)

    def value(self, row: Row, column: Column) -> bytes | bool | None:
        """The raw bytes of a value (a boolean's truth), None when null."""
        if column.number >= row.num_cols:
            return None
        mask_at = row.page * PAGE + row.end - row.mask_size
        is_set = bool(self.data[mask_at + column.number // 8] >> (column.number % 8) & 1)
        if column.type == BOOL:
            return is_set
        if not is_set:
            return None
        base = row.page * PAGE + row.start
        if column.fixed:
            at = 2 + column.fixed_at
            if at + column.length > row.end - row.start:
                raise corrupt(f"fixed column {column.name} outside its row")
            return self.data[base + at : base + at + column.length]
        if column.var_index + 1 >= len(row.offsets):
            return None
        first, last = row.offsets[column.var_index], row.offsets[column.var_index + 1]
        return self.data[base + first : base + last]

    def text(self, row: Row, column: Column) -> str:
        raw = self.value(row, column)
        return decode_text(raw) if isinstance(raw, bytes) else ""

    # --- the catalog ---------------------------------------------------------
    def tables(self) -> dict[str, int]:
        """Every table's name and definition page, system tables included."""
        if self._tables is None:
            catalog = self.table_def(CATALOG_PAGE)
            ids, names, types = catalog.column("Id"), catalog.column("Name"), catalog.column("Type")
            found = {}
            for row in self.rows(catalog):
                kind, ident = self.value(row, types), self.value(row, ids)
                if isinstance(kind, bytes) and kind[:2] == b"\x01\x00" and isinstance(ident, bytes):
                    found[self.text(row, names)] = int.from_bytes(ident, "little") & 0x00FFFFFF
            self._tables = found
        return self._tables


def _column(raw: bytes, name: str) -> Column:
    flags = raw[15]
    return Column(
        name=name,
        type=raw[0],
        number=u16(raw, 5),
        var_index=u16(raw, 7),
        fixed_at=u16(raw, 21),
        length=u16(raw, 23),
        fixed=bool(flags & FIXED_FLAG),
    )


# --- rewriting in place --------------------------------------------------------
def empty_values(data: bytearray, row: Row, var_indexes: set[int]) -> None:
    """Empties the given variable-length values of a row in place: the later
    values move down, the bytes freed at the end of the values are zeroed, the
    offsets follow; the row keeps its size, place, flags and null mask."""
    offsets = row.offsets
    pairs = list(zip(offsets, offsets[1:], strict=False))
    lengths = [last - first for first, last in pairs]
    for index in var_indexes:
        if index < len(lengths):
            lengths[index] = 0
    if sum(lengths) == offsets[-1] - offsets[0]:
        return
    base = row.page * PAGE + row.start
    raw = bytes(data[base : base + row.end - row.start])
    values = b"".join(raw[first:last] for (first, last), kept in zip(pairs, lengths, strict=True) if kept)
    data[base + offsets[0] : base + offsets[-1]] = values.ljust(offsets[-1] - offsets[0], b"\x00")
    moved = list(itertools.accumulate(lengths, initial=offsets[0]))
    table_at = base + (row.end - row.start) - row.mask_size - 2 - 2 * len(moved)
    struct.pack_into(f"<{len(moved)}H", data, table_at, *reversed(moved))


def scrub(db: Database, out: bytearray, stale: set[int], keep_rows: set[int]) -> None:
    """Zeroes every byte of the data pages that no live row holds: free space,
    deleted rows, what follows a moved row's pointer; and the whole of the
    `stale` pages, unless a live row or a usage map sits on one of them. The
    rows a moved row points to are flagged deleted: they are kept. The pages
    are read in `db` and zeroed in `out`, its copy."""
    data = db.data
    kept: dict[int, list[tuple[int, int]]] = {}
    pages = [p for p in range(db.pages) if data[p * PAGE] == DATA_PAGE]
    for pointer in keep_rows:
        page, slot = pointer >> 8, pointer & 0xFF
        kept.setdefault(page, []).append(db.slot_extent(page, slot)[:2])
    for page in pages:
        if page not in stale:
            _live_extents(db, page, kept)
    for page in pages:
        base = page * PAGE
        if page in stale and page not in kept:
            out[base : base + PAGE] = bytes(PAGE)
            continue
        at = HEADER + 2 * db.slot_count(page)
        for start, end in sorted(kept.get(page, [])):
            if start > at:
                out[base + at : base + start] = bytes(start - at)
            at = max(at, end)
        out[base + at : base + PAGE] = bytes(PAGE - at)


def _live_extents(db: Database, page: int, kept: dict[int, list[tuple[int, int]]]) -> None:
    is_lval = bytes(db.page(page)[4:8]) == LVAL
    for slot in range(db.slot_count(page)):
        start, end, flags = db.slot_extent(page, slot)
        if flags & DELETED:
            continue
        if flags & LOOKUP and not is_lval:
            kept.setdefault(page, []).append((start, start + 4))
            target, target_slot = db.lookup_target(page, start, end)
            if db.page_type(target) != DATA_PAGE:
                raise corrupt(f"row moved from page {page} to page {target}, not a data page")
            kept.setdefault(target, []).append(db.slot_extent(target, target_slot)[:2])
        else:
            kept.setdefault(page, []).append((start, end))
