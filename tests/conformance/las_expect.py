"""What a converted LAS file must look like to any shapefile reader.

Everything here is computed from the LAS bytes alone, with the struct
module and the offsets of the LAS 1.0-1.2 public header and point records;
nothing of Pelmora's own code is used.
"""
import math
import struct
from dataclasses import dataclass

# Point record layouts: X, Y, Z, intensity, return bits, classification,
# scan angle (signed), file marker / user data, user bit field / source ID,
# then the GPS time and / or red, green, blue by point format.
RECORD_LAYOUT = {
    0: '<iiiHBBbBH',
    1: '<iiiHBBbBHd',
    2: '<iiiHBBbBHHHH',
    3: '<iiiHBBbBHdHHH',
}

GPS_WIDTH = 16
GPS_DECIMALS = 8


@dataclass(frozen=True)
class Field:
    name: str        # the name as stored: dBASE keeps at most 10 characters
    kind: str        # 'integer' or 'real'
    width: int
    decimals: int


def _field(full_name, width, decimals=0):
    return Field(full_name[:10], 'real' if decimals else 'integer', width, decimals)


def table_fields(version_minor, point_format):
    """The attribute columns, in order, for a LAS version and point format."""
    fields = [_field('Intensity', 5), _field('ReturnNumber', 1), _field('NumberReturns', 1),
              _field('ScanDirection', 1), _field('EdgeOfFlightLine', 1), _field('Classification', 3),
              _field('ScanAngleRank', 3)]
    if version_minor == 0:
        fields += [_field('FileMarker', 3), _field('UserBitField', 5)]
    else:
        fields += [_field('UserData', 3), _field('PointSourceID', 5)]
    if point_format in (1, 3):
        fields.append(_field('GPSTime', GPS_WIDTH, GPS_DECIMALS))
    if point_format in (2, 3):
        fields += [_field('Red', 5), _field('Green', 5), _field('Blue', 5)]
    return fields


def gps_text(t):
    """The GPS time as written: C's "%.8f", or as many decimals as fit in
    16 characters; None when not even the whole number fits (the field then
    holds 16 asterisks, the dBASE null)."""
    if math.isnan(t) or math.isinf(t):
        # C's printf keeps the sign of a NaN, which Python's formatting drops.
        return ('-' if math.copysign(1.0, t) < 0 else '') + ('nan' if math.isnan(t) else 'inf')
    for decimals in range(GPS_DECIMALS, -1, -1):
        text = '%.*f' % (decimals, t)
        if len(text) <= GPS_WIDTH:
            return text
    return None


def scan_angle_text(angle):
    """A scan angle of -100 or less needs four characters: the 3-wide field
    holds the null "***" instead."""
    return None if angle <= -100 else str(angle)


@dataclass
class Expected:
    version: str
    point_format: int
    fields: list
    points: list        # (x, y, z) per record, as doubles
    texts: list         # per record, the text of each field (None for null)
    values: list        # per record, each field's value as a reader parses it
    box: dict           # xmin ... mmax of the .shp/.shx headers

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


def _row_texts(r, point_format):
    bits = r[4]
    row = [str(r[3]), str(bits & 7), str((bits >> 3) & 7), str((bits >> 6) & 1), str(bits >> 7),
           str(r[5]), scan_angle_text(r[6]), str(r[7]), str(r[8])]
    extra = list(r[9:])
    if point_format in (1, 3):
        row.append(gps_text(extra.pop(0)))
    row += [str(c) for c in extra]  # red, green, blue
    return row


def expect_records(path, indices):
    """Expectations for the records at the given indices only, read one by
    one, for files too large to hold in memory. The box is the LAS header's:
    use it for files whose header box holds every point."""
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
            r = struct.unpack(layout, f.read(record_length))
            points.append(_point(r, scale, offset))
            texts.append(_row_texts(r, point_format))
    values = [[_value(t, f) for t, f in zip(row, fields)] for row in texts]
    box = dict(xmin=min_x, ymin=min_y, xmax=max_x, ymax=max_y, zmin=min_z, zmax=max_z, mmin=0.0, mmax=0.0)
    return count, Expected(f'1.{version_minor}', point_format, fields, points, texts, values, box)


def expect_from_las(path):
    data = open(path, 'rb').read()
    if data[:4] != b'LASF':
        raise ValueError(f'{path}: not a LAS file')
    version_minor = data[25]
    offset_to_data, = struct.unpack_from('<I', data, 96)
    point_format, record_length, count = struct.unpack_from('<BHI', data, 104)
    scale = struct.unpack_from('<3d', data, 131)
    offset = struct.unpack_from('<3d', data, 155)
    max_x, min_x, max_y, min_y, max_z, min_z = struct.unpack_from('<6d', data, 179)

    layout = RECORD_LAYOUT[point_format]
    if struct.calcsize(layout) != record_length:
        raise ValueError(f'{path}: record length {record_length} does not fit format {point_format}')
    body = data[offset_to_data:offset_to_data + count * record_length]
    records = list(struct.iter_unpack(layout, body))
    if len(records) != count:
        raise ValueError(f'{path}: holds {len(records)} of {count} records')

    fields = table_fields(version_minor, point_format)
    points = [_point(r, scale, offset) for r in records]
    texts = [_row_texts(r, point_format) for r in records]
    values = [[_value(t, f) for t, f in zip(row, fields)] for row in texts]

    box = dict(xmin=min_x, ymin=min_y, xmax=max_x, ymax=max_y, zmin=min_z, zmax=max_z)
    lows, highs = (min_x, min_y, min_z), (max_x, max_y, max_z)
    # "not inside" rather than "outside", so that a NaN bound also counts.
    if any(not lows[a] <= p[a] <= highs[a] for p in points for a in range(3)):
        for a, axis in enumerate('xyz'):
            box[axis + 'min'] = min(p[a] for p in points)
            box[axis + 'max'] = max(p[a] for p in points)
    box.update(mmin=0.0, mmax=0.0)

    return Expected(f'1.{version_minor}', point_format, fields, points, texts, values, box)


def set_header_box(path, xmin, ymin, zmin, xmax, ymax, zmax):
    """Overwrite the bounding box of a LAS public header (stored as MaxX,
    MinX, MaxY, MinY, MaxZ, MinZ)."""
    with open(path, 'r+b') as f:
        f.seek(179)
        f.write(struct.pack('<6d', xmax, xmin, ymax, ymin, zmax, zmin))
