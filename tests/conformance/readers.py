"""The converted shapefile as each independent reader sees it.

Every reader yields a View with the same parts, so that one comparison
serves them all:
  shape_types  set of shape type codes the reader reports (file and shapes)
  counts       {what: number} -- shape and record counts as reported
  points       [(x, y, z)] per shape
  fields       [Field] as the reader describes the columns
  values       per row, each field's value (int, float, or None for null)
  texts        per row, each field's raw text (None for a null), if the reader
               can show it
  box          {xmin, ..., mmax: value} of the header bounding box; a value
               that is a str was printed with "%f" and is compared as text

A numeric field of asterisks is the dBASE null. pyshp returns None for it,
GDAL leaves the field null (an empty CSV cell; None from Python's osgeo.ogr
and from Fiona), shapelib's dbfdump prints "(NULL)", and with -r the raw
asterisks. A GPS time written as "nan" or "inf" reads back as NaN or
infinity in all of them.

osgeo.ogr and Fiona hand over the coordinates as the doubles themselves, so
no text conversion stands between the file and the comparison.

A numeric field without decimals is not an integer to every reader: pyshp
always takes it as one, shapelib only below 10 characters, GDAL (and so
Fiona) below 19 (a 64-bit integer from 10 on); wider ones come as doubles.
READS_AS_REAL says, per reader, which fields come back as doubles.
"""
import csv
import io
import re
import subprocess
from dataclasses import dataclass, field as dc_field

from las_expect import Field

POINTZ = 11

READS_AS_REAL = {
    'pyshp': lambda f: f.decimals > 0,
    'gdal': lambda f: f.decimals > 0 or f.width >= 19,
    'osgeo.ogr': lambda f: f.decimals > 0 or f.width >= 19,
    'fiona': lambda f: f.decimals > 0 or f.width >= 19,
    'shapelib': lambda f: f.decimals > 0 or f.width >= 10,
}


@dataclass
class View:
    shape_types: set = dc_field(default_factory=set)
    counts: dict = dc_field(default_factory=dict)
    points: list = dc_field(default_factory=list)
    fields: list = dc_field(default_factory=list)
    values: list = dc_field(default_factory=list)
    texts: list = None
    box: dict = dc_field(default_factory=dict)


def _run(*command):
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise RuntimeError(f'{" ".join(command)} failed ({done.returncode}): {done.stderr.strip()}')
    return done.stdout


def _parse(text, kind):
    """A number printed by a reader; a NaN may come as "nan" or "-nan"."""
    return float(text) if kind == 'real' else int(text)


# ---- pyshp -------------------------------------------------------------

def read_pyshp(shp_path):
    import shapefile  # Debian's python3-pyshp

    view = View()
    with shapefile.Reader(shp_path) as r:
        view.shape_types.add(r.shapeType)
        view.counts = {'shapes (.shx)': r.numShapes, 'records (.dbf)': r.numRecords}
        view.box = dict(zip(('xmin', 'ymin', 'xmax', 'ymax'), r.bbox))
        view.box.update(zip(('zmin', 'zmax'), r.zbox))
        view.box.update(zip(('mmin', 'mmax'), r.mbox))
        for name, letter, width, decimals in r.fields[1:]:  # [0] is the deletion flag
            kind = ('real' if decimals else 'integer') if letter == 'N' else f'type {letter}'
            view.fields.append(Field(name, kind, width, decimals))
        # shape(i) finds each record through the .shx offsets.
        for i in range(r.numShapes):
            shape = r.shape(i)
            view.shape_types.add(shape.shapeType)
            z = shape.z[0] if getattr(shape, 'z', None) else None
            view.points.append((shape.points[0][0], shape.points[0][1], z))
        view.values = [list(record) for record in r.iterRecords()]
    return view


# ---- GDAL: ogrinfo and ogr2ogr --------------------------------------------

GDAL_KINDS = {'Integer': 'integer', 'Integer64': 'integer', 'Real': 'real'}
# GDAL calls PointZ "3D Point", or "3D Measured Point" when there is no shape
# to show that the records carry no M value.
GDAL_GEOMETRY = {'3D Point': POINTZ, '3D Measured Point': POINTZ}


def read_gdal(shp_path):
    view = View()
    summary = _run('ogrinfo', '-ro', '-so', '-al', shp_path)
    geometry = re.search(r'^Geometry: (.*)$', summary, re.M).group(1)
    view.shape_types.add(GDAL_GEOMETRY.get(geometry, geometry))
    view.counts['features'] = int(re.search(r'^Feature Count: (\d+)$', summary, re.M).group(1))
    extent = re.search(r'^Extent: \((\S+), (\S+)\) - \((\S+), (\S+)\)$', summary, re.M)
    if extent:
        view.box = dict(zip(('xmin', 'ymin', 'xmax', 'ymax'), extent.groups()))
    for name, kind, width, decimals in re.findall(r'^(\w+): (\w+) \((\d+)\.(\d+)\)$', summary, re.M):
        view.fields.append(Field(name, GDAL_KINDS.get(kind, kind), int(width), int(decimals)))

    # Every feature as CSV, the geometry as WKT with 17 significant digits:
    # enough to carry each double unchanged.
    table = _run('ogr2ogr', '--config', 'OGR_WKT_PRECISION', '17', '-f', 'CSV', '/vsistdout/', shp_path,
                 '-lco', 'GEOMETRY=AS_WKT')
    rows = list(csv.reader(io.StringIO(table)))[1:]
    view.counts['CSV rows'] = len(rows)
    for row in rows:
        point = re.fullmatch(r'POINT Z \((\S+) (\S+) (\S+)\)', row[0])
        if point:
            view.points.append(tuple(float(c) for c in point.groups()))
        else:
            view.shape_types.add(row[0].split('(')[0].strip())
            view.points.append(None)
        view.values.append([None if text == '' else _parse(text, f.kind) for text, f in zip(row[1:], view.fields)])
    return view


# ---- shapelib: shpdump and dbfdump ----------------------------------------

SHAPELIB_TYPES = {'PointZ': POINTZ}
SHAPELIB_KINDS = {'N/Integer': 'integer', 'N/Double': 'real'}


def read_shapelib(shp_path, dbf_path):
    view = View()
    dump = _run('shpdump', '-precision', '17', shp_path)
    head = re.search(r'^Shapefile Type: (\S+)\s+# of Shapes: (\d+)', dump, re.M)
    view.shape_types.add(SHAPELIB_TYPES.get(head.group(1), head.group(1)))
    view.counts['shapes'] = int(head.group(2))
    bounds = re.search(r'^File Bounds: \((.*)\)\s*\n\s*to\s+\((.*)\)', dump, re.M)
    for which, text in zip(('min', 'max'), bounds.groups()):
        view.box.update({axis + which: float(v) for axis, v in zip('xyzm', text.split(','))})
    view.shape_types.update(SHAPELIB_TYPES.get(t, t) for t in re.findall(r'^Shape:\d+ \((\w+)\)', dump, re.M))
    # Vertex lines: "     (x,y, z)" or "     (x,y, z, m)".
    for x, y, z in re.findall(r'^\s+\(([^,]+),([^,]+), ([^,)]+)(?:, [^)]+)?\)', dump, re.M):
        view.points.append((float(x), float(y), float(z)))

    # -h: field descriptions; -r: the raw text of each value.
    raw = _run('dbfdump', '-h', '-r', dbf_path).splitlines()
    for line in raw:
        m = re.match(r'Field \d+: Type=(\S+), Title=`(\w+)\', Width=(\d+), Decimals=(\d+)', line)
        if m:
            kind, name, width, decimals = m.groups()
            view.fields.append(Field(name, SHAPELIB_KINDS.get(kind, kind), int(width), int(decimals)))
    raw_rows = raw[len(view.fields) + 1:]  # after the descriptions and the title line
    view.texts = [[None if set(t) == {'*'} else t for t in line.split()] for line in raw_rows]

    # Without -r, values as shapelib interprets them; nulls show as "(NULL)".
    shown = _run('dbfdump', dbf_path).splitlines()[1:]
    view.counts['rows'] = len(shown)
    view.values = [[None if t == '(NULL)' else _parse(t, f.kind) for t, f in zip(line.split(), view.fields)]
                   for line in shown]
    return view


# ---- GDAL from Python: osgeo.ogr (python3-gdal) ----------------------------

def _ogr():
    from osgeo import ogr  # Debian's python3-gdal
    ogr.UseExceptions()
    return ogr


def read_ogr(shp_path):
    ogr = _ogr()
    view = View()
    source = ogr.Open(shp_path, 0)  # read-only
    layer = source.GetLayer(0)
    # PointZ is a 2.5D point; with no shape to look at, GDAL may call the
    # layer a measured one (as with ogrinfo above).
    codes = {ogr.wkbPoint25D: POINTZ, ogr.wkbPointZM: POINTZ}
    view.shape_types.add(codes.get(layer.GetGeomType(), ogr.GeometryTypeToName(layer.GetGeomType())))
    # True: count the features if the driver cannot tell at once.
    view.counts['features'] = layer.GetFeatureCount(True)
    xmin, xmax, ymin, ymax = layer.GetExtent(False)  # the header's box, as stored
    view.box = dict(xmin=xmin, ymin=ymin, xmax=xmax, ymax=ymax)
    definition = layer.GetLayerDefn()
    for i in range(definition.GetFieldCount()):
        f = definition.GetFieldDefn(i)
        view.fields.append(Field(f.GetName(), GDAL_KINDS.get(f.GetTypeName(), f.GetTypeName()),
                                 f.GetWidth(), f.GetPrecision()))
    count = len(view.fields)
    layer.ResetReading()
    for feature in layer:
        geometry = feature.GetGeometryRef()
        if geometry is None or geometry.GetGeometryType() != ogr.wkbPoint25D:
            view.shape_types.add('none' if geometry is None else geometry.GetGeometryName())
            view.points.append(None)
        else:
            view.points.append(geometry.GetPoint(0))
        view.values.append([None if not feature.IsFieldSetAndNotNull(i) else feature.GetField(i)
                            for i in range(count)])
    view.counts['features read'] = len(view.points)
    return view


# ---- Fiona (python3-fiona) -----------------------------------------------

FIONA_KINDS = {'int': 'integer', 'int32': 'integer', 'int64': 'integer', 'float': 'real'}


def read_fiona(shp_path):
    import fiona  # Debian's python3-fiona

    view = View()
    with fiona.open(shp_path) as source:
        view.shape_types.add(GDAL_GEOMETRY.get(source.schema['geometry'], source.schema['geometry']))
        view.counts['features'] = len(source)
        xmin, ymin, xmax, ymax = source.bounds
        view.box = dict(xmin=xmin, ymin=ymin, xmax=xmax, ymax=ymax)
        for name, kind in source.schema['properties'].items():
            # "int:5", "float:16.8": type, width and decimals.
            m = re.fullmatch(r'(\w+)(?::(\d+)(?:\.(\d+))?)?', kind)
            view.fields.append(Field(name, FIONA_KINDS.get(m.group(1), kind),
                                     int(m.group(2) or 0), int(m.group(3) or 0)))
        names = [f.name for f in view.fields]
        for feature in source:
            geometry = feature['geometry']
            coordinates = geometry['coordinates'] if geometry else None
            if geometry is None or geometry['type'] != 'Point' or len(coordinates) != 3:
                view.shape_types.add('none' if geometry is None else f"{geometry['type']}/{len(coordinates)}")
                view.points.append(None)
            else:
                view.points.append(tuple(coordinates))
            properties = feature['properties']
            view.values.append([properties[n] for n in names])
        view.counts['features read'] = len(view.points)
    return view
