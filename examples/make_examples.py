#!/usr/bin/env python3
"""Generate the MeshRaster example data set.

The data represent a debris flow 120 s after release, moving down a slope
that falls towards the east-south-east.  The flow is a tongue: a long thin
tail in the west, a thick rounded front in the east.  Pile height (m) is a
smooth bump, zero outside the flow; momentum (m^2/s) is pile height times
velocity, pointing downslope and spreading slightly at the front; velocity
rises from about 1.2 m/s in the tail to about 7.5 m/s at the front.

The mesh covers x 600010..600390, y 5100010..5100290 (UTM-like metres) and
is written the way a parallel run writes it: three Tecplot ASCII files, one
per compute process, each holding a strip of element columns.  Neighbouring
strips overlap (one element column between processes 0 and 1, two between
processes 1 and 2); nodes in an overlap appear in both files with identical
coordinates and values.  Each file numbers its own nodes from 1.

A fourth file holds the patch of cells cut into two triangles, written as a
triangle zone (ZONETYPE=FETRIANGLE, three node numbers an element), the way
codes that mesh with triangles write them; process 1's file leaves those
cells to it, and shares the nodes of the patch's border with it.  The grid
is the one the same triangles give as four-node elements in process 1.

The mesh is mostly 5 m x 5 m rectangles, listed from their south-east corner
counter-clockwise.  It also has
  * a refined patch of 2.5 m rectangles around the flow front, straddling
    the overlap between processes 1 and 2; the coarse cells bordering the
    patch are cut into three triangles each so the mesh stays conforming,
  * a patch of cells cut into two triangles along a diagonal,
  * a patch of slightly skewed general quadrilaterals under the flow tail.
In the process files, triangles are written as four-node elements with the
third node repeated.

Files written next to this script:
  flow_p0.dat flow_p1.dat flow_p2.dat   the mesh and flow state, per process
  flow_p3.dat                           the split cells, as a triangle zone
  pileheight.cfg velocity.cfg           MeshRaster configurations

Regenerate with
    python3 examples/make_examples.py            (from the repository top)
    python3 make_examples.py                     (from examples/)
The output is fully deterministic.  Add --check to re-read the written files
and verify their structure (node counts, node numbers in range, element
shapes, overlap agreement, conformity of the joined mesh, sizes).
"""

import math
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# ---------------------------------------------------------------- mesh layout
X0, Y0 = 600010.0, 5100010.0      # south-west corner of the mesh
CELL = 5.0                        # coarse cell size (m)
NI, NJ = 76, 56                   # coarse cells in x and y
STEP = CELL / 2                   # node lattice step (refined cell size)

# Ranges of coarse cell indices, half-open: (i0, i1, j0, j1)
REFINED = (50, 66, 12, 38)        # cells split into four 2.5 m rectangles
SPLIT = (30, 38, 16, 24)          # cells cut into two triangles
SKEWED = (8, 22, 26, 46)          # coarse nodes strictly inside are displaced

# Element columns held by each process, half-open
PROCESSES = [(0, 27), (26, 54), (52, 76)]

TIME = 120                        # s since release

# ---------------------------------------------------------------- flow state
ORIGIN = (600200.0, 5100160.0)    # reference point on the flow axis
THETA = math.radians(-15.0)       # downslope direction, from east
CENTRE = 60.0                     # along-slope position of the thickest part
FRONT = 50.0                      # distance from thickest part to front
TAIL = 190.0                      # distance from thickest part to tail end
HALF_WIDTH = 50.0                 # lateral half width at the thickest part
HMAX = 2.4                        # maximum pile height (m)
VMIN, VMAX = 1.2, 7.5             # velocity in the tail / at the front (m/s)


def in_range(i, j, r):
    return r[0] <= i < r[1] and r[2] <= j < r[3]


def displacement(i, j):
    """Smooth displacement (m) of coarse node (i, j) inside the skewed patch."""
    i0, i1, j0, j1 = SKEWED
    if not (i0 < i < i1 and j0 < j < j1):
        return 0.0, 0.0
    bump = (math.sin(math.pi * (i - i0) / (i1 - i0))
            * math.sin(math.pi * (j - j0) / (j1 - j0)))
    dx = 1.2 * bump * math.sin(0.35 * i + 0.25 * j)
    dy = 1.2 * bump * math.cos(0.30 * i - 0.20 * j)
    return dx, dy


def flow(x, y):
    """Pile height, x momentum, y momentum at (x, y)."""
    ex, ey = math.cos(THETA), math.sin(THETA)
    rx, ry = x - ORIGIN[0], y - ORIGIN[1]
    s = rx * ex + ry * ey                # along slope, positive downslope
    n = -rx * ey + ry * ex               # across slope, positive to the left
    a = FRONT if s > CENTRE else TAIL
    r2 = ((s - CENTRE) / a) ** 2 + (n / HALF_WIDTH) ** 2
    if r2 >= 1.0:
        return 0.0, 0.0, 0.0
    h = HMAX * (1.0 - r2)
    if h < 1e-3:
        return 0.0, 0.0, 0.0
    u = (s - (CENTRE - TAIL)) / (TAIL + FRONT)   # 0 at tail end, 1 at front
    u = min(max(u, 0.0), 1.0)
    smooth = u * u * (3.0 - 2.0 * u)
    lateral = 1.0 - 0.3 * (n / HALF_WIDTH) ** 2
    v = VMIN + (VMAX - VMIN) * smooth * lateral
    phi = THETA + 0.3 * (n / HALF_WIDTH) * u     # spreads out at the front
    return h, h * v * math.cos(phi), h * v * math.sin(phi)


def fmt_value(v):
    """Six significant digits, never exponent notation, never '-0'."""
    if v == 0.0:
        return "0"
    s = "%.6g" % v
    if "e" in s:
        s = ("%.7f" % v).rstrip("0").rstrip(".")
    if s in ("", "0", "-0"):
        return "0"
    return s


# ---------------------------------------------------------------- build mesh
class Mesh:
    def __init__(self):
        self.nodes = {}      # lattice key (I, J) -> node line text
        self.elements = []   # (coarse i, coarse j, [4 lattice keys])

    def node(self, key):
        if key not in self.nodes:
            I, J = key
            x = X0 + STEP * I
            y = Y0 + STEP * J
            if I % 2 == 0 and J % 2 == 0:
                dx, dy = displacement(I // 2, J // 2)
                x += dx
                y += dy
            xs, ys = "%.2f" % x, "%.2f" % y
            h, hu, hv = flow(float(xs), float(ys))
            self.nodes[key] = " ".join(
                [xs, ys, fmt_value(h), fmt_value(hu), fmt_value(hv)])
        return key

    def add(self, i, j, keys):
        for k in keys:
            self.node(k)
        self.elements.append((i, j, list(keys)))


def build_mesh():
    mesh = Mesh()
    for j in range(NJ):
        for i in range(NI):
            se, ne = (2 * i + 2, 2 * j), (2 * i + 2, 2 * j + 2)
            nw, sw = (2 * i, 2 * j + 2), (2 * i, 2 * j)
            if in_range(i, j, REFINED):
                for b in (0, 1):
                    for a in (0, 1):
                        I, J = 2 * i + a, 2 * j + b
                        mesh.add(i, j, [(I + 1, J), (I + 1, J + 1),
                                        (I, J + 1), (I, J)])
                continue
            # Boundary of the cell, counter-clockwise from the south-east
            # corner, with the midpoints of edges shared with refined cells.
            ring = [se]
            if in_range(i + 1, j, REFINED):
                ring.append((2 * i + 2, 2 * j + 1))
            ring.append(ne)
            if in_range(i, j + 1, REFINED):
                ring.append((2 * i + 1, 2 * j + 2))
            ring.append(nw)
            if in_range(i - 1, j, REFINED):
                ring.append((2 * i, 2 * j + 1))
            ring.append(sw)
            if in_range(i, j - 1, REFINED):
                ring.append((2 * i + 1, 2 * j))
            if len(ring) > 4:
                # transition cell: fan of triangles from the hanging node
                m = next(k for k, key in enumerate(ring) if key[0] % 2 or key[1] % 2)
                ring = ring[m:] + ring[:m]
                for k in range(1, len(ring) - 1):
                    mesh.add(i, j, [ring[0], ring[k], ring[k + 1], ring[k + 1]])
            elif in_range(i, j, SPLIT):
                if (i + j) % 2 == 0:
                    mesh.add(i, j, [se, ne, nw, nw])
                    mesh.add(i, j, [se, nw, sw, sw])
                else:
                    mesh.add(i, j, [ne, nw, sw, sw])
                    mesh.add(i, j, [ne, sw, se, se])
            else:
                mesh.add(i, j, [se, ne, nw, sw])
    return mesh


def write_process(mesh, p, path):
    lo, hi = PROCESSES[p]
    elems = [keys for (i, j, keys) in mesh.elements
             if lo <= i < hi and not in_range(i, j, SPLIT)]
    title = "process %d of %d" % (p, len(PROCESSES))
    return write_zone(mesh, path, title, "F=FEPOINT, ET=QUADRILATERAL", elems, 4)


def write_triangles(mesh, path):
    """The split cells, one triangle a b c for each four-node a b c c."""
    elems = [keys[:3] for (i, j, keys) in mesh.elements if in_range(i, j, SPLIT)]
    return write_zone(mesh, path, "split cells", "DATAPACKING=POINT, ZONETYPE=FETRIANGLE", elems, 3)


def write_zone(mesh, path, title, zone_type, elems, per):
    local = {}
    order = []
    for keys in elems:
        for k in keys:
            if k not in local:
                local[k] = len(order) + 1
                order.append(k)
    assert all(len(keys) == per for keys in elems)
    lines = [
        'TITLE = "Debris flow, %s, t = %d s"' % (title, TIME),
        'VARIABLES = "X", "Y", "PILE_HEIGHT", "X_MOMENTUM", "Y_MOMENTUM"',
        "ZONE N=%d, E=%d, %s" % (len(order), len(elems), zone_type),
    ]
    lines += [mesh.nodes[k] for k in order]
    lines += [" ".join(str(local[k]) for k in keys) for keys in elems]
    with open(path, "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    return len(order), len(elems)


MESH_BOX = (X0, Y0, X0 + NI * CELL, Y0 + NJ * CELL)
PROCESS_FILES = ["flow_p%d.dat" % p for p in range(len(PROCESSES))]
TRIANGLE_FILE = "flow_p3.dat"
DATA_FILES = PROCESS_FILES + [TRIANGLE_FILE]
# Files that share the nodes of their common border; no other two share one.
NEIGHBOURS = [("flow_p0.dat", "flow_p1.dat"), ("flow_p1.dat", "flow_p2.dat"),
              ("flow_p1.dat", TRIANGLE_FILE)]
CONFIGS = {
    "pileheight.cfg": ("PileHeight", 600000, 5100000, 600400, 5100300, 2, 2,
                       "pileheight.grd"),
    "velocity.cfg": ("Velocity", 600000, 5100000, 600400, 5100300, 1, 1,
                     "velocity.grd"),
}


def write_config(path, cfg):
    kind, xmin, ymin, xmax, ymax, resx, resy, out = cfg
    text = ("%s\nxmin %s\nymin %s\nxmax %s\nymax %s\nresx %s\nresy %s\n"
            "output %s\ninput %s\n" % (kind, xmin, ymin, xmax, ymax, resx, resy,
                                       out, " ".join(DATA_FILES)))
    with open(path, "w", newline="\n") as f:
        f.write(text)


def generate():
    mesh = build_mesh()
    for p, name in enumerate(PROCESS_FILES):
        n, e = write_process(mesh, p, os.path.join(HERE, name))
        print("%s: %d nodes, %d elements" % (name, n, e))
    n, e = write_triangles(mesh, os.path.join(HERE, TRIANGLE_FILE))
    print("%s: %d nodes, %d triangles" % (TRIANGLE_FILE, n, e))
    for name, cfg in CONFIGS.items():
        write_config(os.path.join(HERE, name), cfg)
        print("%s written" % name)


# ---------------------------------------------------------------- checking
class CheckError(Exception):
    pass


def require(cond, msg):
    if not cond:
        raise CheckError(msg)


def read_tecplot(path):
    """Read one file the way MeshRaster reads it; return node and element
    lists, a triangle of a triangle zone as the four-node element a b c c."""
    with open(path, "rb") as f:
        raw = f.read()
    require(raw.endswith(b"\n"), "%s: no newline at end" % path)
    lines = raw.decode("ascii").split("\n")[:-1]
    zone = None
    for k, line in enumerate(lines):
        toks = line.split()
        if "ZONE" in toks:
            require(toks[0] == "ZONE", "%s: ZONE is not the first token" % path)
            zone = k
            break
    require(zone is not None, "%s: no ZONE record" % path)
    toks = lines[zone].split()
    require(re.fullmatch(r"N=\d+,", toks[1]), "%s: bad node count token %r" % (path, toks[1]))
    n = int(toks[1][2:-1])
    m = re.search(r"\bE=(\d+),", lines[zone])
    require(m, "%s: no element count" % path)
    e = int(m.group(1))
    per = 3 if lines[zone].endswith("ZONETYPE=FETRIANGLE") else 4
    node_lines = lines[zone + 1: zone + 1 + n]
    require(len(node_lines) == n, "%s: fewer than N node lines" % path)
    nodes = []
    for k, line in enumerate(node_lines, 1):
        t = line.split()
        require(len(t) == 5, "%s: node %d has %d numbers" % (path, k, len(t)))
        require(all("e" not in v.lower() for v in t), "%s: exponent in node %d" % (path, k))
        nodes.append((t[0], t[1], t[2], t[3], t[4]))
    elem_lines = lines[zone + 1 + n:]
    require(len(elem_lines) == e, "%s: %d element lines, E=%d" % (path, len(elem_lines), e))
    elems = []
    for k, line in enumerate(elem_lines, 1):
        t = line.split()
        require(len(t) == per and all(v.isdigit() for v in t),
                "%s: element %d is not %d node numbers" % (path, k, per))
        ids = [int(v) for v in t] + ([int(t[2])] if per == 3 else [])
        require(all(1 <= v <= n for v in ids),
                "%s: element %d refers to a node out of range" % (path, k))
        elems.append(ids)
    return nodes, elems


def area2(pts):
    """Twice the signed area of a polygon."""
    return sum(pts[k][0] * pts[(k + 1) % len(pts)][1]
               - pts[(k + 1) % len(pts)][0] * pts[k][1] for k in range(len(pts)))


def classify(pts, ids):
    """'rect', 'tri' or 'quad'; raise if the element is malformed."""
    if ids[2] == ids[3]:
        require(len(set(ids[:3])) == 3, "triangle with repeated node %s" % ids)
        require(area2(pts[:3]) > 0, "triangle not counter-clockwise %s" % ids)
        return "tri"
    require(len(set(ids)) == 4, "quadrilateral with repeated node %s" % ids)
    (x1, y1), (x2, y2), (x3, y3), (x4, y4) = pts
    if x1 == x2 and y2 == y3 and x3 == x4 and y4 == y1:
        require(y2 > y1 and x3 < x2, "rectangle not listed SE, NE, NW, SW %s" % ids)
        return "rect"
    for k in range(4):
        a, b, c = pts[k], pts[(k + 1) % 4], pts[(k + 2) % 4]
        cross = (b[0] - a[0]) * (c[1] - b[1]) - (b[1] - a[1]) * (c[0] - b[0])
        require(cross > 0, "quadrilateral not convex counter-clockwise %s" % ids)
    axis_edges = sum(1 for k in range(4)
                     if pts[k][0] == pts[(k + 1) % 4][0] or pts[k][1] == pts[(k + 1) % 4][1])
    require(axis_edges < 4, "axis-aligned quadrilateral in wrong order %s" % ids)
    return "quad"


def check():
    total = 0
    files = {}
    union_elems = {}
    extent = [math.inf, math.inf, -math.inf, -math.inf]
    for name in DATA_FILES:
        path = os.path.join(HERE, name)
        nodes, elems = read_tecplot(path)
        size = os.path.getsize(path)
        total += size
        coords = [(float(t[0]), float(t[1])) for t in nodes]
        keys = [(t[0], t[1]) for t in nodes]
        require(len(set(keys)) == len(keys), "%s: two nodes at one place" % name)
        used = set()
        counts = {"rect": 0, "tri": 0, "quad": 0}
        for ids in elems:
            pts = [coords[v - 1] for v in ids]
            counts[classify(pts, ids)] += 1
            used.update(ids)
            poly = [keys[v - 1] for v in (ids[:3] if ids[2] == ids[3] else ids)]
            union_elems[tuple(sorted(poly))] = poly
        require(len(used) == len(nodes), "%s: unused nodes" % name)
        for t in nodes:
            x, y, h, hu, hv = (float(v) for v in t)
            extent = [min(extent[0], x), min(extent[1], y),
                      max(extent[2], x), max(extent[3], y)]
            require(h >= 0, "%s: negative pile height" % name)
            if h == 0:
                require(hu == 0 and hv == 0, "%s: momentum without pile height" % name)
            elif h > 0.01:
                v = math.hypot(hu, hv) / h
                require(0.9 < v < 8.1, "%s: velocity %.3f out of range" % (name, v))
        files[name] = {k: " ".join(t[2:]) for k, t in zip(keys, nodes)}
        print("%s: %d nodes, %d elements (%d rectangles, %d triangles, "
              "%d general quadrilaterals), %d bytes"
              % (name, len(nodes), len(elems), counts["rect"], counts["tri"],
                 counts["quad"], size))
    for a, b in NEIGHBOURS:
        shared = set(files[a]) & set(files[b])
        require(shared, "%s and %s do not overlap" % (a, b))
        for k in shared:
            require(files[a][k] == files[b][k], "overlap node %s differs" % (k,))
        print("%s / %s: %d shared nodes, all equal" % (a, b, len(shared)))
    for a in range(len(DATA_FILES)):
        for b in range(a + 1, len(DATA_FILES)):
            pair = (DATA_FILES[a], DATA_FILES[b])
            require(pair in NEIGHBOURS or not set(files[pair[0]]) & set(files[pair[1]]),
                    "non-neighbouring files share nodes")
    # The joined mesh must tile the mesh box exactly and be conforming:
    # every edge is used by two elements, except edges on the outer boundary.
    area = sum(area2([(float(x), float(y)) for x, y in poly]) / 2
               for poly in union_elems.values())
    box = MESH_BOX
    require(abs(area - (box[2] - box[0]) * (box[3] - box[1])) < 1e-3,
            "elements do not tile the mesh box (area %.3f)" % area)
    edges = {}
    for poly in union_elems.values():
        for k in range(len(poly)):
            e = tuple(sorted((poly[k], poly[(k + 1) % len(poly)])))
            edges[e] = edges.get(e, 0) + 1
    for (p, q), c in edges.items():
        require(c <= 2, "edge used by %d elements" % c)
        if c == 1:
            px, py, qx, qy = float(p[0]), float(p[1]), float(q[0]), float(q[1])
            on_box = ((px == qx and px in (box[0], box[2]))
                      or (py == qy and py in (box[1], box[3])))
            require(on_box, "hanging edge inside the mesh %s-%s" % (p, q))
    require(extent == list(box), "node extent %s differs from %s" % (extent, box))
    print("joined mesh: %d elements, area %.1f m^2, conforming" % (len(union_elems), area))
    print("mesh extent: x %.2f..%.2f, y %.2f..%.2f" % (box[0], box[2], box[1], box[3]))
    for name, (kind, xmin, ymin, xmax, ymax, resx, resy, out) in CONFIGS.items():
        text = open(os.path.join(HERE, name)).read().split()
        require(text[0] == kind and text[-len(DATA_FILES):] == DATA_FILES,
                "%s: unexpected contents" % name)
        require(xmin < box[0] and ymin < box[1] and xmax > box[2] and ymax > box[3],
                "%s: grid does not contain the mesh" % name)
        print("%s: %s, %d x %d cells of %s x %s m, writes %s"
              % (name, kind, int((xmax - xmin) / resx), int((ymax - ymin) / resy),
                 resx, resy, out))
    require(total < 1_000_000, "example files too large")
    print("total size of the Tecplot files: %d bytes" % total)


def main(argv):
    if "--check" in argv[1:]:
        try:
            check()
        except CheckError as err:
            print("check failed: %s" % err)
            return 1
        print("check passed")
        return 0
    generate()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
