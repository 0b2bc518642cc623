"""The pipeline a user would write instead of the catalogue, for the
catalogue benchmark to race: find the metadata files and BAG files below
a folder, parse each one's ISO 19139 metadata with lxml (a BAG's through
h5py) in a multiprocessing pool, write the surveys as GeoJSON, and load
that into a GeoPackage with ogr2ogr.

    python3 bench/peer_catalog.py FOLDER OUT.gpkg [-j N]

Needs lxml and h5py (Debian: python3-lxml, python3-h5py) and GDAL's
ogr2ogr.
"""
import json
import multiprocessing
import os
import subprocess
import sys

from lxml import etree

NS = {"gmd": "http://www.isotc211.org/2005/gmd",
      "gco": "http://www.isotc211.org/2005/gco",
      "gml": "http://www.opengis.net/gml/3.2",
      "gml31": "http://www.opengis.net/gml"}
TITLE = "//gmd:identificationInfo//gmd:citation//gmd:title/gco:CharacterString"
ORGANISATION = "//gmd:identificationInfo//gmd:organisationName/" \
               "gco:CharacterString"
BEGIN = "//gmd:EX_TemporalExtent//*[local-name()='beginPosition']"
END = "//gmd:EX_TemporalExtent//*[local-name()='endPosition']"
BOX = "//gmd:EX_GeographicBoundingBox"
DEPTHS = "//gmd:EX_VerticalExtent/gmd:%s/gco:Real"


def metadata(path):
    if path.endswith(".bag"):
        import h5py
        with h5py.File(path, "r") as bag:
            data = bag["BAG_root/metadata"][()]
        return etree.fromstring(b"".join(data).rstrip(b"\0"))
    return etree.parse(path).getroot()


def text(root, xpath):
    found = root.xpath(xpath, namespaces=NS)
    return found[0].text.strip() if found and found[0].text else None


def number(element, name):
    found = element.xpath("gmd:%s/gco:Decimal" % name, namespaces=NS)
    return float(found[0].text) if found and found[0].text else None


def feature(path):
    try:
        root = metadata(path)
    except Exception as error:  # the user's script keeps going
        return {"type": "Feature", "geometry": None,
                "properties": {"path": path, "error": str(error)}}
    geometry = None
    boxes = root.xpath(BOX, namespaces=NS)
    if boxes:
        west, east, south, north = (number(boxes[0], name) for name in (
            "westBoundLongitude", "eastBoundLongitude",
            "southBoundLatitude", "northBoundLatitude"))
        if None not in (west, east, south, north):
            geometry = {"type": "Polygon", "coordinates": [[
                [west, south], [east, south], [east, north], [west, north],
                [west, south]]]}
    return {"type": "Feature", "geometry": geometry, "properties": {
        "path": path, "title": text(root, TITLE),
        "authority": text(root, ORGANISATION),
        "start": text(root, BEGIN), "end": text(root, END),
        "shallowest": text(root, DEPTHS % "minimumValue"),
        "deepest": text(root, DEPTHS % "maximumValue")}}


def main(argv):
    folder, out = argv[0], argv[1]
    jobs = int(argv[argv.index("-j") + 1]) if "-j" in argv else None
    paths = sorted(os.path.join(top, name)
                   for top, _, names in os.walk(folder) for name in names
                   if name.endswith((".xml", ".bag")))
    with multiprocessing.Pool(jobs) as pool:
        features = pool.map(feature, paths, chunksize=64)
    geojson = out + ".geojson"
    with open(geojson, "w") as stream:
        json.dump({"type": "FeatureCollection", "features": features},
                  stream)
    subprocess.run(["ogr2ogr", "-f", "GPKG", "-overwrite", "-nln", "surveys",
                    out, geojson], check=True)
    os.remove(geojson)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
