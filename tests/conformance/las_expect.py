"""What a converted LAS file must look like to any shapefile reader.

Everything here is computed from the LAS bytes alone, with the struct
module and the offsets of the LAS public header, point records and Extra
Bytes descriptors as the format tables give them; nothing of Pelmora's own
code is used.
"""
import decimal
import math
import re
import struct
import sys
from dataclasses import dataclass

# Standard fields of each point format: X, Y, Z, intensity, then
#   0-5:  return bits, classification, scan angle rank (i8), user data / file
#         marker, point source ID / user bit field;
#   6-10: return numbers, flags, classification, user data, scan angle (i16),
#         point source ID, GPS time;
# then GPS time, red, green, blue, NIR as the format has them.  The 29-byte
# wave packet is skipped: it is not converted.
RECORD_LAYOUT = {
    0: '<iiiHBBbBH',
    1: '<iiiHBBbBHd',
    2: '<iiiHBBbBHHHH',
    3: '<iiiHBBbBHdHHH',
    4: '<iiiHBBbBHd29x',
    5: '<iiiHBBbBHdHHH29x',
    6: '<iiiHBBBBhHd',
    7: '<iiiHBBBBhHdHHH',
    8: '<iiiHBBBBhHdHHHH',
    9: '<iiiHBBBBhHd29x',
    10: '<iiiHBBBBhHdHHHH29x',
}
STANDARD_SIZE = {f: struct.calcsize(layout) for f, layout in RECORD_LAYOUT.items()}

GPS_WIDTH = 16       # formats 0-5
GPS_WIDTH_14 = 19    # formats 6-10
GPS_DECIMALS = 8


@dataclass(frozen=True)
class Field:
    name: str        # the name as stored: dBASE keeps at most 10 characters
    kind: str        # 'integer' or 'real'
    width: int
    decimals: int


def _field(full_name, width, decimals=0):
    return Field(full_name[:10], 'real' if decimals else 'integer', width, decimals)


def table_fields(version_minor, point_format, split_class=False):
    """The standard attribute columns, in order, for a LAS version and point
    format.  Formats 4 and 5 are 1 and 3 without their wave packet; 9 and 10
    are 6 and 8.  With split_class (pelmora-convert, LAS 1.1 and later), the
    class byte of formats 0-5 is three flags and the class, in the order of
    formats 6-10."""
    if point_format >= 6:
        fields = [_field('Intensity', 5), _field('ReturnNumb', 2), _field('NumberRetu', 2)]
        fields += [_field(name, 1) for name in ('Synthetic', 'KeyPoint', 'Withheld', 'Overlap', 'ScannerCha',
                                                 'ScanDirect', 'EdgeOfFlig')]
        fields += [_field('Classifica', 3), _field('UserData', 3), _field('ScanAngle', 8, 3), _field('PointSourc', 5),
                   _field('GPSTime', GPS_WIDTH_14, GPS_DECIMALS)]
        if point_format in (7, 8, 10):
            fields += [_field('Red', 5), _field('Green', 5), _field('Blue', 5)]
        if point_format in (8, 10):
            fields.append(_field('NIR', 5))
        return fields
    fields = [_field('Intensity', 5), _field('ReturnNumber', 1), _field('NumberReturns', 1),
              _field('ScanDirection', 1), _field('EdgeOfFlightLine', 1), _field('Classification', 3),
              _field('ScanAngleRank', 3)]
    if split_class and version_minor > 0:
        fields[3:3] = [_field('Synthetic', 1), _field('KeyPoint', 1), _field('Withheld', 1)]
    if version_minor == 0:
        fields += [_field('FileMarker', 3), _field('UserBitField', 5)]
    else:
        fields += [_field('UserData', 3), _field('PointSourceID', 5)]
    if point_format in (1, 3, 4, 5):
        fields.append(_field('GPSTime', GPS_WIDTH, GPS_DECIMALS))
    if point_format in (2, 3, 5):
        fields += [_field('Red', 5), _field('Green', 5), _field('Blue', 5)]
    return fields


def fixed_text(value, decimals, width):
    """C's "%.{decimals}f", or with as many fewer decimals as make it fit the
    width; None when not even the whole number fits (the field then holds
    asterisks, the dBASE null)."""
    if math.isnan(value) or math.isinf(value):
        # C's printf keeps the sign of a NaN, which Python's formatting drops.
        text = ('-' if math.copysign(1.0, value) < 0 else '') + ('nan' if math.isnan(value) else 'inf')
        return text if len(text) <= width else None
    for d in range(decimals, -1, -1):
        text = '%.*f' % (d, value)
        if len(text) <= width:
            return text
    return None


def gps_text(t, width=GPS_WIDTH):
    return fixed_text(t, GPS_DECIMALS, width)


def scan_angle_text(angle):
    """A scan angle of -100 or less needs four characters: the 3-wide field
    holds the null "***" instead."""
    return None if angle <= -100 else str(angle)


def scan_angle_14_text(count):
    """Steps of 0.006 degree, exactly: count x 6 thousandths."""
    thousandths = count * 6
    return '%s%d.%03d' % ('-' if thousandths < 0 else '', abs(thousandths) // 1000, abs(thousandths) % 1000)


# ---- extra bytes -----------------------------------------------------------

FLT_MAX = struct.unpack('<f', b'\xff\xff\x7f\x7f')[0]
DBL_MAX = sys.float_info.max
# Data types 1-10: struct code, lowest, highest, and the width of the longest
# text of the range when written unscaled as an integer.
EXTRA_TYPES = {
    1: ('B', 0, 2**8 - 1, 3), 2: ('b', -2**7, 2**7 - 1, 4),
    3: ('H', 0, 2**16 - 1, 5), 4: ('h', -2**15, 2**15 - 1, 6),
    5: ('I', 0, 2**32 - 1, 10), 6: ('i', -2**31, 2**31 - 1, 11),
    7: ('Q', 0, 2**64 - 1, 20), 8: ('q', -2**63, 2**63 - 1, 20),
    9: ('f', -FLT_MAX, FLT_MAX, None), 10: ('d', -DBL_MAX, DBL_MAX, None),
}
FLOAT_DECIMALS = {9: 6, 10: 10}
FLOAT_WIDTH = {9: 20, 10: 24}
MAX_WIDTH = 40


@dataclass(frozen=True)
class ExtraColumn:
    field: Field
    at: int            # offset in the record
    data_type: int
    no_data: object    # the raw value written as null, or None
    scale: float       # None: not applied
    offset: float      # None: not applied

    def text(self, record):
        code, _, _, _ = EXTRA_TYPES[self.data_type]
        raw, = struct.unpack_from('<' + code, record, self.at)
        if self.no_data is not None and (raw == self.no_data or
                                         (self.data_type >= 9 and math.isnan(self.no_data) and math.isnan(raw))):
            return None  # a NaN no-data value stands for every NaN
        if self.scale is None and self.offset is None and self.data_type < 9:
            return str(raw)
        value = raw if self.scale is None and self.offset is None else self._real(raw)
        if not math.isfinite(value):
            return None  # NaN and infinities are no number a dBASE field holds
        return fixed_text(value, self.field.decimals, self.field.width)

    def _real(self, raw):
        value = float(raw)
        if self.scale is not None:
            value *= self.scale
        if self.offset is not None:
            value += self.offset
        # A stored integer has no sign of zero: 0 x a negative scale is 0.
        return 0.0 if value == 0 and self.data_type < 9 else value


def decimals_for(v):
    """The decimals that show every multiple of a scale or offset exactly:
    those of the shortest decimal that reads back as the stored double
    (0.01 gives 2, 2.5 gives 1, 10 gives 0), at most 10: a finer step is
    rounded to 10 decimals."""
    exponent = decimal.Decimal(repr(abs(v))).normalize().as_tuple().exponent
    return min(max(-exponent, 0), 10)


def extra_bytes_descriptors(data, version_minor, header_size, vlr_count):
    """Every 192-byte descriptor of every Extra Bytes record (LASF_Spec 4):
    the VLRs in order, then the EVLRs of a LAS 1.4 file."""
    payloads = []
    at = header_size
    for _ in range(vlr_count):
        user, record, length = struct.unpack_from('<16sHH', data, at + 2)
        payloads.append((user, record, data[at + 54:at + 54 + length]))
        at += 54 + length
    if version_minor >= 4:
        at, count = struct.unpack_from('<QI', data, 235)
        for _ in range(count if at else 0):
            user, record, length = struct.unpack_from('<16sHQ', data, at + 2)
            payloads.append((user, record, data[at + 60:at + 60 + length]))
            at += 60 + length
    descriptors = []
    for user, record, payload in payloads:
        if user.split(b'\0')[0] == b'LASF_Spec' and record == 4:
            descriptors += [payload[k:k + 192] for k in range(0, len(payload) - 191, 192)]
    return descriptors


def extra_columns(descriptors, standard_size, record_length, taken_names):
    """The extra columns the descriptors give, in order.  Undocumented and
    deprecated array runs are skipped; a reserved type or a run past the end
    of the record ends the description; a run whose scale or offset is
    unusable is left out."""
    sizes = {t: struct.calcsize(EXTRA_TYPES[t][0]) for t in EXTRA_TYPES}
    taken = {n.upper() for n in taken_names}
    columns, at = [], standard_size
    for d in descriptors:
        data_type, options = d[2], d[3]
        if data_type == 0:
            size = options
        elif data_type <= 10:
            size = sizes[data_type]
        elif data_type <= 30:
            size = (2 if data_type <= 20 else 3) * sizes[(data_type - 1) % 10 + 1]
        else:
            break
        if at + size > record_length:
            break
        if 1 <= data_type <= 10:
            column = _extra_column(len(columns), d, at, taken)
            if column:
                columns.append(column)
                taken.add(column.field.name.upper())
        at += size
    return columns


def _extra_column(k, d, at, taken):
    """Column k of the extra ones, from descriptor d, at byte `at`; a
    nameless descriptor is called extra_{k + 1}."""
    data_type, options = d[2], d[3]
    scale, = struct.unpack_from('<d', d, 112)
    offset, = struct.unpack_from('<d', d, 136)
    scaled, offsetted = bool(options & 0x08), bool(options & 0x10)
    if (scaled and (not math.isfinite(scale) or scale == 0)) or (offsetted and not math.isfinite(offset)):
        return None
    name = re.sub(r'[^A-Za-z0-9_]', '_', d[4:36].split(b'\0')[0].decode('latin-1'))[:10] or f'extra_{k + 1}'[:10]
    if name.upper() in taken:
        n = 1
        while (name[:10 - len(f'_{n}')] + f'_{n}').upper() in taken:
            n += 1
        name = name[:10 - len(f'_{n}')] + f'_{n}'
    code, lowest, highest, int_width = EXTRA_TYPES[data_type]
    no_data = None
    if options & 0x01:
        no_data, = struct.unpack_from('<d' if data_type >= 9 else '<q' if code.islower() else '<Q', d, 40)
    if not (scaled or offsetted):
        if data_type >= 9:
            return ExtraColumn(_field(name, FLOAT_WIDTH[data_type], FLOAT_DECIMALS[data_type]), at, data_type,
                               no_data, None, None)
        return ExtraColumn(_field(name, int_width), at, data_type, no_data, None, None)
    column = ExtraColumn(None, at, data_type, no_data, scale if scaled else None, offset if offsetted else None)
    decimals = max([decimals_for(scale)] * scaled + [decimals_for(offset)] * offsetted +
                   [FLOAT_DECIMALS.get(data_type, 0)])
    width = min(MAX_WIDTH, max(len('%.*f' % (decimals, column._real(v))) for v in (lowest, highest)))
    return ExtraColumn(_field(name, width, decimals), at, data_type, no_data, column.scale, column.offset)


# ---- records -----------------------------------------------------------------

@dataclass
class Expected:
    version: str
    point_format: int
    fields: list
    points: list        # (x, y, z) per record, as doubles
    texts: list         # per record, the text of each field (None for null)
    values: list        # per record, each field's value as a reader parses it
    box: dict           # xmin ... mmax of the .shp/.shx headers
    extra_bytes: int = 0     # bytes of each record after the standard fields
    unwritten_bytes: int = 0  # of those, the bytes no column holds

    @property
    def count(self):
        return len(self.points)


def _value(text, field):
    if text is None:
        return None
    return float(text) if field.kind == 'real' else int(text)


def _point(r, scale, offset):
    # int -> double, multiply, add: two roundings, exactly as required.
    return tuple(r[a] * scale[a] + offset[a] for a in range(3))


def _row_texts(r, point_format, split_class=False):
    if point_format >= 6:
        returns, flags = r[4], r[5]
        row = [str(r[3]), str(returns & 15), str(returns >> 4)]
        row += [str((flags >> b) & 1) for b in range(4)]
        row += [str((flags >> 4) & 3), str((flags >> 6) & 1), str(flags >> 7),
                str(r[6]), str(r[7]), scan_angle_14_text(r[8]), str(r[9]), gps_text(r[10], GPS_WIDTH_14)]
        return row + [str(c) for c in r[11:]]  # red, green, blue, NIR
    bits, klass = r[4], r[5]
    row = [str(r[3]), str(bits & 7), str((bits >> 3) & 7), str((bits >> 6) & 1), str(bits >> 7),
           str(klass), scan_angle_text(r[6]), str(r[7]), str(r[8])]
    if split_class:  # class bits 0-4; synthetic, key-point, withheld bits 5, 6, 7
        row[3:6] = [str((klass >> 5) & 1), str((klass >> 6) & 1), str(klass >> 7), str((bits >> 6) & 1),
                    str(bits >> 7), str(klass & 31)]
    extra = list(r[9:])
    if point_format in (1, 3, 4, 5):
        row.append(gps_text(extra.pop(0)))
    row += [str(c) for c in extra]  # red, green, blue
    return row


def expect_records(path, indices):
    """Expectations for the records at the given indices only, read one by
    one, for files too large to hold in memory (LAS 1.0-1.2, no extra bytes).
    The box is the LAS header's: use it for files whose header box holds
    every point."""
    with open(path, 'rb') as f:
        header = f.read(227)
        version_minor = header[25]
        offset_to_data, = struct.unpack_from('<I', header, 96)
        point_format, record_length, count = struct.unpack_from('<BHI', header, 104)
        scale = struct.unpack_from('<3d', header, 131)
        offset = struct.unpack_from('<3d', header, 155)
        max_x, min_x, max_y, min_y, max_z, min_z = struct.unpack_from('<6d', header, 179)
        layout = RECORD_LAYOUT[point_format]
        fields = table_fields(version_minor, point_format)
        points, texts = [], []
        for i in indices:
            f.seek(offset_to_data + i * record_length)
            r = struct.unpack(layout, f.read(STANDARD_SIZE[point_format]))
            points.append(_point(r, scale, offset))
            texts.append(_row_texts(r, point_format))
    values = [[_value(t, f) for t, f in zip(row, fields)] for row in texts]
    box = dict(xmin=min_x, ymin=min_y, xmax=max_x, ymax=max_y, zmin=min_z, zmax=max_z, mmin=0.0, mmax=0.0)
    return count, Expected(f'1.{version_minor}', point_format, fields, points, texts, values, box)


def expect_from_las(path, split_class=False):
    data = open(path, 'rb').read()
    if data[:4] != b'LASF':
        raise ValueError(f'{path}: not a LAS file')
    version_minor = data[25]
    header_size, offset_to_data, vlr_count = struct.unpack_from('<HII', data, 94)
    point_format, record_length, count = struct.unpack_from('<BHI', data, 104)
    if version_minor >= 4:
        count, = struct.unpack_from('<Q', data, 247)  # the legacy count may be 0
    scale = struct.unpack_from('<3d', data, 131)
    offset = struct.unpack_from('<3d', data, 155)
    max_x, min_x, max_y, min_y, max_z, min_z = struct.unpack_from('<6d', data, 179)

    layout, standard = RECORD_LAYOUT[point_format], STANDARD_SIZE[point_format]
    if record_length < standard:
        raise ValueError(f'{path}: record length {record_length} is short of format {point_format}')
    body = data[offset_to_data:offset_to_data + count * record_length]
    records = [body[k:k + record_length] for k in range(0, len(body), record_length)]
    if len(records) != count or (records and len(records[-1]) != record_length):
        raise ValueError(f'{path}: holds {len(body) / record_length} of {count} records')

    split_class = split_class and version_minor > 0
    fields = table_fields(version_minor, point_format, split_class)
    extras = extra_columns(extra_bytes_descriptors(data, version_minor, header_size, vlr_count), standard,
                           record_length, [f.name for f in fields])
    fields += [c.field for c in extras]
    standard_parts = [struct.unpack_from(layout, rec) for rec in records]
    points = [_point(r, scale, offset) for r in standard_parts]
    texts = [_row_texts(r, point_format, split_class) + [c.text(rec) for c in extras]
             for r, rec in zip(standard_parts, records)]
    values = [[_value(t, f) for t, f in zip(row, fields)] for row in texts]

    box = dict(xmin=min_x, ymin=min_y, xmax=max_x, ymax=max_y, zmin=min_z, zmax=max_z)
    lows, highs = (min_x, min_y, min_z), (max_x, max_y, max_z)
    # "not inside" rather than "outside", so that a NaN bound also counts.
    if any(not lows[a] <= p[a] <= highs[a] for p in points for a in range(3)):
        for a, axis in enumerate('xyz'):
            box[axis + 'min'] = min(p[a] for p in points)
            box[axis + 'max'] = max(p[a] for p in points)
    box.update(mmin=0.0, mmax=0.0)

    written = sum(struct.calcsize(EXTRA_TYPES[c.data_type][0]) for c in extras)
    return Expected(f'1.{version_minor}', point_format, fields, points, texts, values, box,
                    record_length - standard, record_length - standard - written)


def set_header_box(path, xmin, ymin, zmin, xmax, ymax, zmax):
    """Overwrite the bounding box of a LAS public header (stored as MaxX,
    MinX, MaxY, MinY, MaxZ, MinZ)."""
    with open(path, 'r+b') as f:
        f.seek(179)
        f.write(struct.pack('<6d', xmax, xmin, ymax, ymin, zmax, zmin))
