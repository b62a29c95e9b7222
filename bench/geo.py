"""Geometry shared by the benchmark: haversine, hexagons, point in polygon.

Everything here is double precision; korvane itself works in single
precision, so comparisons against these values use a tolerance.
"""
import math

import numpy as np

EARTH_RADIUS_M = 6371000.0
METERS_PER_DEG_LAT = math.pi * EARTH_RADIUS_M / 180.0  # ~111195 m


def haversine_m(lat1, lon1, lat2, lon2):
    """Great-circle distance in metres between two points given in degrees."""
    p1 = math.radians(lat1)
    p2 = math.radians(lat2)
    dp = p2 - p1
    dl = math.radians(lon2 - lon1)
    a = math.sin(dp / 2) ** 2 + math.cos(p1) * math.cos(p2) * math.sin(dl / 2) ** 2
    return 2.0 * EARTH_RADIUS_M * math.asin(min(1.0, math.sqrt(a)))


def haversine_np(lat, lon, lats, lons):
    """Vectorised haversine from one point to arrays of points, in metres."""
    p1 = math.radians(lat)
    p2 = np.radians(lats)
    dp = p2 - p1
    dl = np.radians(lons - lon)
    a = np.sin(dp / 2) ** 2 + math.cos(p1) * np.cos(p2) * np.sin(dl / 2) ** 2
    return 2.0 * EARTH_RADIUS_M * np.arcsin(np.minimum(1.0, np.sqrt(a)))


def bounding_box(lat, lon, radius_m):
    """(min_lat, max_lat, min_lon, max_lon) that contains the circle.

    The longitude half-width uses the cosine of the latitude farthest from
    the equator inside the box, so the box never undercuts the circle.
    """
    dlat = radius_m / METERS_PER_DEG_LAT
    far = abs(lat) + dlat
    if far >= 89.99:  # the circle takes in a pole: every longitude
        return max(-90.0, lat - dlat), min(90.0, lat + dlat), lon - 180.0, lon + 180.0
    dlon = min(180.0, dlat / math.cos(math.radians(far)))
    return lat - dlat, lat + dlat, lon - dlon, lon + dlon


def hexagon(lat, lon, radius_m):
    """Six vertices (lat, lon) of a hexagon whose corners lie radius_m away."""
    dlat = radius_m / METERS_PER_DEG_LAT
    dlon = dlat / math.cos(math.radians(lat))
    return tuple(
        (lat + dlat * math.cos(math.radians(a)), lon + dlon * math.sin(math.radians(a)))
        for a in range(0, 360, 60)
    )


def polygon_bounds(points):
    lats = [p[0] for p in points]
    lons = [p[1] for p in points]
    return min(lats), max(lats), min(lons), max(lons)


def point_in_polygon(lat, lon, points):
    """Even-odd ray casting in the plane of (lon, lat) degrees."""
    inside = False
    n = len(points)
    j = n - 1
    for i in range(n):
        yi, xi = points[i]
        yj, xj = points[j]
        if (yi > lat) != (yj > lat):
            x_cross = xi + (lat - yi) * (xj - xi) / (yj - yi)
            if lon < x_cross:
                inside = not inside
        j = i
    return inside


def points_in_polygon_np(lats, lons, points):
    """Vectorised even-odd ray casting; returns a boolean mask."""
    inside = np.zeros(len(lats), dtype=bool)
    n = len(points)
    j = n - 1
    for i in range(n):
        yi, xi = points[i]
        yj, xj = points[j]
        crosses = (yi > lats) != (yj > lats)
        if yj != yi:
            x_cross = xi + (lats - yi) * (xj - xi) / (yj - yi)
            inside ^= crosses & (lons < x_cross)
        j = i
    return inside


def distance_to_polygon_edge_deg(lat, lon, points):
    """Smallest planar distance, in degrees, from a point to the polygon outline."""
    best = float("inf")
    n = len(points)
    for i in range(n):
        y1, x1 = points[i]
        y2, x2 = points[(i + 1) % n]
        dx, dy = x2 - x1, y2 - y1
        seg = dx * dx + dy * dy
        t = 0.0 if seg == 0 else max(0.0, min(1.0, ((lon - x1) * dx + (lat - y1) * dy) / seg))
        px, py = x1 + t * dx, y1 + t * dy
        best = min(best, math.hypot(lon - px, lat - py))
    return best


def lon_ranges(minlon, maxlon):
    """Split a longitude interval that may run past +-180 into plain ones."""
    if maxlon - minlon >= 360.0:
        return [(-180.0, 180.0)]
    if minlon < -180.0:
        return [(minlon + 360.0, 180.0), (-180.0, maxlon)]
    if maxlon > 180.0:
        return [(minlon, 180.0), (-180.0, maxlon - 360.0)]
    return [(minlon, maxlon)]
