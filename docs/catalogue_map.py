"""Draws the map of a survey catalogue that the README shows: the
surveys layer of a GeoPackage on a plain world (a graticule every 30
degrees), each survey's footprint or box outlined (and filled, but for
those that cover a good part of the world), those from BAG and S-102
files in orange, those from metadata files in teal, and a survey too
small to see at this scale marked with a ring (the ring of a BAG file
around that of its metadata file, where the corpus holds both).  Needs GDAL's Python bindings (Debian:
python3-gdal).

    bathyra catalog ../shared/corpus --to /tmp/c.gpkg
    python3 docs/catalogue_map.py /tmp/c.gpkg docs/catalogue.png
"""
import sys

from osgeo import gdal, ogr, osr

WIDTH, HEIGHT = 1200, 600
SEA = (233, 240, 246)
GRATICULE = (196, 210, 224)
FILL = {"XML": (128, 203, 196), "BAG": (255, 196, 140)}
OUTLINE = {"XML": (0, 105, 92), "BAG": (200, 80, 0)}
# Below this width or height in degrees a survey gets a ring (inner and
# outer radius in degrees, by kind); above this area in square degrees it
# is outlined only.
SMALL = 1.5
RING = {"XML": (0.8, 1.5), "BAG": (1.9, 2.6)}
LARGE = 400


def canvas():
    image = gdal.GetDriverByName("MEM").Create("", WIDTH, HEIGHT, 3,
                                               gdal.GDT_Byte)
    image.SetGeoTransform((-180, 360 / WIDTH, 0, 90, 0, -180 / HEIGHT))
    wgs84 = osr.SpatialReference()
    wgs84.ImportFromEPSG(4326)
    wgs84.SetAxisMappingStrategy(osr.OAMS_TRADITIONAL_GIS_ORDER)
    image.SetProjection(wgs84.ExportToWkt())
    for band, value in enumerate(SEA, 1):
        image.GetRasterBand(band).Fill(value)
    return image


def burn(image, geometries, colour):
    """Burns the geometries (WKT) into the image in one colour."""
    layer_data = ogr.GetDriverByName("Memory").CreateDataSource("")
    layer = layer_data.CreateLayer("shapes", image.GetSpatialRef())
    for wkt in geometries:
        feature = ogr.Feature(layer.GetLayerDefn())
        feature.SetGeometry(ogr.CreateGeometryFromWkt(wkt))
        layer.CreateFeature(feature)
    gdal.RasterizeLayer(image, [1, 2, 3], layer, burn_values=list(colour),
                        options=["ALL_TOUCHED=TRUE"])


def graticule():
    lines = ["LINESTRING (%d -90, %d 90)" % (x, x)
             for x in range(-180, 181, 30)]
    lines += ["LINESTRING (-180 %d, 180 %d)" % (y, y)
              for y in range(-90, 91, 30)]
    return lines


def surveys(path):
    """(kind, geometry) of each survey with one, the largest first so
    that the small ones are drawn over them."""
    source = ogr.Open(path)
    layer = source.GetLayerByName("surveys")
    found = []
    for feature in layer:
        geometry = feature.GetGeometryRef()
        if geometry is None or geometry.IsEmpty():
            continue
        kind = "XML" if feature.GetField("file_format") == "XML" else "BAG"
        found.append((kind, geometry.Clone()))
    found.sort(key=lambda item: (-item[1].GetArea(), item[0] == "XML"))
    return found


def main(argv):
    catalogue, out = argv
    image = canvas()
    burn(image, graticule(), GRATICULE)
    for kind, geometry in surveys(catalogue):
        west, east, south, north = geometry.GetEnvelope()
        if east - west < SMALL and north - south < SMALL:
            centre = geometry.Centroid()
            inner, outer = RING[kind]
            ring = centre.Buffer(outer).Difference(centre.Buffer(inner))
            burn(image, [ring.ExportToWkt()], OUTLINE[kind])
            continue
        if geometry.GetArea() < LARGE:
            burn(image, [geometry.ExportToWkt()], FILL[kind])
        burn(image, [geometry.Boundary().ExportToWkt()], OUTLINE[kind])
    gdal.GetDriverByName("PNG").CreateCopy(out, image,
                                           options=["ZLEVEL=9"])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
