// Checks of the footprint tracer: shapes traced from masks of valid nodes
// on a UTM grid, their corners against PROJ's own transform, the GeoJSON
// read back with OGR's reader, and the refusals (sizes, pieces outside the
// grid, no valid node, a CRS that cannot be read); the same for the
// footprints of a grid's labelled parts (LabelFootprints).
// Exits 0 when every check passes, 1 on a failure, and 77 (skipped) when
// built without GDAL, after checking that the tracer says so.
#include "footprint_tracer.hpp"
#include "label_footprints.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#ifdef BATHYRA_HAVE_GDAL
#include <ogr_api.h>
#endif
#ifdef BATHYRA_TEST_WITH_PROJ
#include <proj.h>
#endif

namespace {

using bathyra::FootprintTracer;
using bathyra::LabelFootprints;
using Texts = std::map<std::uint32_t, std::string>;

int failures = 0;

void check(bool condition, const std::string &what)
{
    if (!condition) {
        ++failures;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

// A mask of rows x cols nodes, all invalid, and rectangles set in it.
struct Mask {
    std::uint64_t rows, cols;
    std::vector<unsigned char> valid;
    Mask(std::uint64_t r, std::uint64_t c) : rows(r), cols(c), valid(r * c) {}
    // Nodes [row0, row1) x [col0, col1) set to `value`.
    Mask &set(std::uint64_t row0, std::uint64_t row1, std::uint64_t col0,
              std::uint64_t col1, unsigned char value = 1)
    {
        for (std::uint64_t r = row0; r < row1; ++r)
            for (std::uint64_t c = col0; c < col1; ++c)
                valid[r * cols + c] = value;
        return *this;
    }
};

// UTM zone 18N, 2 m nodes, row 0 the southernmost.
const double utm_grid[6] = {400000.0, 2.0, 0.0, 4500000.0, 0.0, 2.0};
const char *const utm = "EPSG:32618";

#ifdef BATHYRA_HAVE_GDAL

// Traces `mask` handed over in pieces of 7 x 9 nodes.
std::string trace(const Mask &mask, std::uint64_t block, std::string &problem,
                  const char *crs = utm)
{
    FootprintTracer tracer(mask.rows, mask.cols, block);
    std::vector<unsigned char> piece;
    for (std::uint64_t r0 = 0; r0 < mask.rows; r0 += 7) {
        for (std::uint64_t c0 = 0; c0 < mask.cols; c0 += 9) {
            const std::uint64_t h = std::min<std::uint64_t>(7, mask.rows - r0);
            const std::uint64_t w = std::min<std::uint64_t>(9, mask.cols - c0);
            piece.assign(h * w, 0);
            for (std::uint64_t r = 0; r < h; ++r)
                for (std::uint64_t c = 0; c < w; ++c)
                    piece[r * w + c] =
                        mask.valid[(r0 + r) * mask.cols + c0 + c];
            tracer.add_chunk(r0, c0, h, w, piece.data());
        }
    }
    return tracer.geojson(utm_grid, crs, problem);
}

struct Read {
    OGRGeometryH geometry = nullptr;
    explicit Read(const std::string &json)
        : geometry(OGR_G_CreateGeometryFromJson(json.c_str()))
    {
    }
    ~Read()
    {
        if (geometry != nullptr)
            OGR_G_DestroyGeometry(geometry);
    }
    Read(const Read &) = delete;
    Read &operator=(const Read &) = delete;
};

// Longitude and latitude of the grid's node corner (col, row), by PROJ.
bool corner_lonlat(double col, double row, double &lon, double &lat)
{
    const double x = utm_grid[0] + col * utm_grid[1];
    const double y = utm_grid[3] + row * utm_grid[5];
#ifdef BATHYRA_TEST_WITH_PROJ
    PJ *raw = proj_create_crs_to_crs(nullptr, utm, "EPSG:4326", nullptr);
    PJ *pj = raw ? proj_normalize_for_visualization(nullptr, raw) : nullptr;
    proj_destroy(raw);
    if (pj == nullptr)
        return false;
    PJ_COORD out = proj_trans(pj, PJ_FWD, proj_coord(x, y, 0, 0));
    proj_destroy(pj);
    lon = out.xy.x;
    lat = out.xy.y;
    return std::isfinite(lon) && std::isfinite(lat);
#else
    (void)x, (void)y, (void)lon, (void)lat;
    return false;
#endif
}

// True when `ring` has exactly the corners of nodes [row0, row1) x
// [col0, col1) (closed: five points), each within 1e-7 degrees.
bool ring_is_rectangle(OGRGeometryH ring, double row0, double row1,
                       double col0, double col1)
{
    if (ring == nullptr || OGR_G_GetPointCount(ring) != 5)
        return false;
#ifndef BATHYRA_TEST_WITH_PROJ
    return true;  // the corners need PROJ to check
#else
    const double corners[4][2] = {
        {col0, row0}, {col1, row0}, {col1, row1}, {col0, row1}};
    for (const auto &corner : corners) {
        double lon = 0, lat = 0;
        if (!corner_lonlat(corner[0], corner[1], lon, lat))
            return false;
        bool found = false;
        for (int i = 0; i < 4 && !found; ++i)
            found = std::fabs(OGR_G_GetX(ring, i) - lon) < 1e-7 &&
                    std::fabs(OGR_G_GetY(ring, i) - lat) < 1e-7;
        if (!found)
            return false;
    }
    return true;
#endif
}

// One polygon without holes: the rectangle of nodes given.
void check_rectangle(const std::string &json, double row0, double row1,
                     double col0, double col1, const std::string &what)
{
    Read read(json);
    const bool ok =
        read.geometry != nullptr &&
        wkbFlatten(OGR_G_GetGeometryType(read.geometry)) == wkbPolygon &&
        OGR_G_GetGeometryCount(read.geometry) == 1 &&
        ring_is_rectangle(OGR_G_GetGeometryRef(read.geometry, 0), row0, row1,
                          col0, col1);
    check(ok, what + ": " + json);
}

void shape_checks()
{
    std::string problem;
    // A rectangle: its corners, read back by OGR as a valid polygon.
    const std::string square =
        trace(Mask(30, 30).set(5, 15, 10, 25), 1, problem);
    check(problem.empty(), "a rectangle has no problem: " + problem);
    check_rectangle(square, 5, 15, 10, 25, "a rectangle of nodes");
    {
        Read read(square);
        check(read.geometry != nullptr && OGR_G_IsValid(read.geometry),
              "OGR reads the rectangle as a valid geometry");
    }
    check(square.find("\"Polygon\"") != std::string::npos &&
              square.find("nan") == std::string::npos &&
              square.find("inf") == std::string::npos,
          "the rectangle's text: " + square);

    // A hole is kept: the outer ring and the hole's ring.
    const std::string holed = trace(
        Mask(40, 40).set(0, 40, 0, 40).set(10, 20, 15, 25, 0), 1, problem);
    {
        Read read(holed);
        const bool ok =
            read.geometry != nullptr &&
            wkbFlatten(OGR_G_GetGeometryType(read.geometry)) == wkbPolygon &&
            OGR_G_GetGeometryCount(read.geometry) == 2 &&
            ring_is_rectangle(OGR_G_GetGeometryRef(read.geometry, 0), 0, 40, 0,
                              40) &&
            ring_is_rectangle(OGR_G_GetGeometryRef(read.geometry, 1), 10, 20,
                              15, 25);
        check(ok && problem.empty(), "a square with a hole: " + holed);
    }

    // Two separate areas: a multipolygon of two.
    const std::string apart =
        trace(Mask(30, 40).set(2, 8, 2, 8).set(20, 28, 30, 38), 1, problem);
    {
        Read read(apart);
        const bool ok = read.geometry != nullptr &&
                        wkbFlatten(OGR_G_GetGeometryType(read.geometry)) ==
                            wkbMultiPolygon &&
                        OGR_G_GetGeometryCount(read.geometry) == 2;
        check(ok && problem.empty(), "two areas apart: " + apart);
    }

    // Pieces and holes that touch at a corner only: a valid geometry.
    for (const Mask &touching :
         {Mask(6, 6).set(0, 2, 0, 2).set(2, 4, 2, 4),
          Mask(6, 6).set(0, 6, 0, 6).set(0, 1, 0, 1, 0).set(1, 2, 1, 2, 0)}) {
        const std::string json = trace(touching, 1, problem);
        Read read(json);
        check(read.geometry != nullptr && OGR_G_IsValid(read.geometry),
              "a corner touching: " + json + problem);
    }

    // A staircase (a triangle of nodes) is simplified to within a node:
    // a few vertices instead of two a row.
    Mask stairs(60, 60);
    for (std::uint64_t r = 0; r < 60; ++r)
        stairs.set(r, r + 1, 0, r + 1);
    const std::string simplified = trace(stairs, 1, problem);
    {
        Read read(simplified);
        OGRGeometryH ring = read.geometry != nullptr
                                ? OGR_G_GetGeometryRef(read.geometry, 0)
                                : nullptr;
        check(ring != nullptr && OGR_G_GetPointCount(ring) <= 8,
              "a staircase is simplified: " + simplified);
    }

    // Blocks of 10 nodes: two nodes in one block give the whole block;
    // a block past the grid's edge is cut to the grid.
    const std::string coarse = trace(
        Mask(100, 100).set(55, 56, 55, 56).set(57, 58, 52, 53), 10, problem);
    check_rectangle(coarse, 50, 60, 50, 60, "one block of 10 x 10 nodes");
    const std::string edge =
        trace(Mask(95, 95).set(94, 95, 94, 95), 10, problem);
    check_rectangle(edge, 90, 95, 90, 95, "a block cut to the grid's edge");
    check(problem.empty(), "blocks have no problem: " + problem);

    // A WKT CRS (the same one) gives the same footprint.
    const std::string wkt =
        "PROJCS[\"WGS 84 / UTM zone 18N\",GEOGCS[\"WGS 84\",DATUM["
        "\"WGS_1984\",SPHEROID[\"WGS 84\",6378137,298.257223563]],PRIMEM["
        "\"Greenwich\",0],UNIT[\"degree\",0.0174532925199433]],PROJECTION["
        "\"Transverse_Mercator\"],PARAMETER[\"latitude_of_origin\",0],"
        "PARAMETER[\"central_meridian\",-75],PARAMETER[\"scale_factor\","
        "0.9996],PARAMETER[\"false_easting\",500000],PARAMETER["
        "\"false_northing\",0],UNIT[\"metre\",1]]";
    check(trace(Mask(30, 30).set(5, 15, 10, 25), 1, problem, wkt.c_str()) ==
              square,
          "a WKT CRS gives the same footprint as its code: " + problem);

    // A grid in longitude and latitude comes back as it went, longitude
    // first.
    {
        FootprintTracer tracer(4, 4, 1);
        const unsigned char all[16] = {1, 1, 1, 1, 1, 1, 1, 1,
                                       1, 1, 1, 1, 1, 1, 1, 1};
        tracer.add_chunk(0, 0, 4, 4, all);
        const double degrees[6] = {-70.5, 0.25, 0, 41.0, 0, 0.125};
        const std::string json = tracer.geojson(degrees, "EPSG:4326", problem);
        Read read(json);
        OGRGeometryH ring = read.geometry != nullptr
                                ? OGR_G_GetGeometryRef(read.geometry, 0)
                                : nullptr;
        double x0 = 0, x1 = 0, y0 = 0, y1 = 0;
        if (ring != nullptr) {
            OGREnvelope box;
            OGR_G_GetEnvelope(ring, &box);
            x0 = box.MinX, x1 = box.MaxX, y0 = box.MinY, y1 = box.MaxY;
        }
        check(x0 == -70.5 && x1 == -69.5 && y0 == 41.0 && y1 == 41.5,
              "a grid in EPSG:4326: " + json + problem);
    }

    // Tracers in two threads at once give the same answers.
    std::vector<int> wrong(2, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([t, &wrong, &square] {
            for (int i = 0; i < 5; ++i) {
                std::string why;
                if (trace(Mask(30, 30).set(5, 15, 10, 25), 1, why) != square)
                    ++wrong[t];
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    check(wrong[0] == 0 && wrong[1] == 0, "tracing in two threads");
}

void refusal_checks()
{
    std::string problem;
    check(trace(Mask(20, 20), 1, problem).empty() &&
              problem.find("no valid node") != std::string::npos,
          "no valid node: " + problem);
    for (const char *bogus :
         {"GEOGCS[\"nothing\"", "EPSG:999999", "", "not a CRS"}) {
        check(trace(Mask(20, 20).set(0, 5, 0, 5), 1, problem, bogus).empty() &&
                  problem.find("no footprint") != std::string::npos,
              std::string("CRS '") + bogus + "' is refused: " + problem);
    }
    FootprintTracer tracer(10, 10, 1);
    const unsigned char one[1] = {1};
    tracer.add_chunk(5, 5, 1, 1, one);
    const double no_number[6] = {NAN, 1, 0, 0, 0, 1};
    check(tracer.geojson(no_number, utm, problem).empty() && !problem.empty(),
          "a geotransform that is no number: " + problem);
    const double flat[6] = {0, 1, 0, 0, 0, 0};
    check(tracer.geojson(flat, utm, problem).empty() && !problem.empty(),
          "a resolution of zero: " + problem);
}

// Labels of rows x cols nodes, all 0, and rectangles set in them.
struct Labels {
    std::uint64_t rows, cols;
    std::vector<std::uint32_t> of;
    Labels(std::uint64_t r, std::uint64_t c) : rows(r), cols(c), of(r * c) {}
    Labels &set(std::uint64_t row0, std::uint64_t row1, std::uint64_t col0,
                std::uint64_t col1, std::uint32_t label)
    {
        for (std::uint64_t r = row0; r < row1; ++r)
            for (std::uint64_t c = col0; c < col1; ++c)
                of[r * cols + c] = label;
        return *this;
    }
    // The footprints, the labels handed over in pieces of 7 x 9 nodes.
    LabelFootprints footprints(std::uint64_t block,
                               std::uint32_t max_label = 9) const
    {
        LabelFootprints traced(rows, cols, block, max_label);
        std::vector<std::uint32_t> piece;
        for (std::uint64_t r0 = 0; r0 < rows; r0 += 7) {
            for (std::uint64_t c0 = 0; c0 < cols; c0 += 9) {
                const std::uint64_t h = std::min<std::uint64_t>(7, rows - r0);
                const std::uint64_t w = std::min<std::uint64_t>(9, cols - c0);
                piece.assign(h * w, 0);
                for (std::uint64_t r = 0; r < h; ++r)
                    for (std::uint64_t c = 0; c < w; ++c)
                        piece[r * w + c] = of[(r0 + r) * cols + c0 + c];
                traced.add_chunk(r0, c0, h, w, piece.data());
            }
        }
        return traced;
    }
};

std::string listed(const Texts &problems)
{
    std::string text;
    for (const auto &entry : problems)
        text += " [" + std::to_string(entry.first) + "] " + entry.second;
    return text;
}

void label_checks()
{
    Texts problems;
    // Two surveys side by side, a third apart: each its own rectangle,
    // the same as the tracer of valid nodes gives it.
    const Labels three = Labels(30, 40)
                             .set(5, 15, 0, 20, 1)
                             .set(5, 15, 20, 40, 2)
                             .set(20, 28, 30, 38, 5);
    const Texts texts = three.footprints(1).geojson(utm_grid, utm, problems);
    check(texts.size() == 3 && problems.empty(),
          "three labels traced" + listed(problems));
    if (texts.size() == 3) {
        check_rectangle(texts.at(1), 5, 15, 0, 20, "label 1");
        check_rectangle(texts.at(2), 5, 15, 20, 40, "label 2");
        check_rectangle(texts.at(5), 20, 28, 30, 38, "label 5");
        std::string why;
        check(texts.at(1) == trace(Mask(30, 40).set(5, 15, 0, 20), 1, why),
              "a label traces as its valid nodes would");
    }
    // In blocks of 10, a block of labels 2 and 1 goes to 1 (2 has no cell
    // left), and a block cut at the grid's edge stays cut.
    const LabelFootprints shared = Labels(95, 95)
                                       .set(55, 56, 55, 56, 2)
                                       .set(57, 58, 52, 53, 1)
                                       .set(94, 95, 94, 95, 3)
                                       .footprints(10);
    const Texts blocks = shared.geojson(utm_grid, utm, problems);
    check(shared.seen(2) && !shared.seen(4), "label 2 is seen, 4 not");
    check(blocks.size() == 2 && blocks.count(1) && blocks.count(3) &&
              problems.empty(),
          "in blocks the lowest label wins" + listed(problems));
    if (blocks.size() == 2 && blocks.count(1) && blocks.count(3)) {
        check_rectangle(blocks.at(1), 50, 60, 50, 60, "label 1 in a block");
        check_rectangle(blocks.at(3), 90, 95, 90, 95, "label 3 at the edge");
    }
    // Coarsened twofold, the block of 1 and 2 goes to 1; relabelled, 1 and
    // 2 become one survey, 5 none.
    LabelFootprints merged = three.footprints(1);
    merged.relabel({0, 4, 4, 3, 2, 0});
    const Texts one = merged.geojson(utm_grid, utm, problems);
    check(one.size() == 1 && one.count(4) && problems.empty(),
          "relabelled" + listed(problems));
    if (one.count(4))
        check_rectangle(one.at(4), 5, 15, 0, 40, "labels 1 and 2 as one");
    const LabelFootprints coarse = Labels(4, 4)
                                       .set(0, 1, 1, 2, 3)
                                       .set(1, 2, 0, 1, 2)
                                       .footprints(1)
                                       .coarsened(2);
    check(coarse.block() == 2 && coarse.mask_rows() == 2 &&
              coarse.geojson(utm_grid, utm, problems).count(2) == 1,
          "coarsened, the lowest label wins");
    std::string note;
    check(bathyra::trace_labels_within(three.footprints(1), utm_grid, utm,
                                       problems, note) == texts &&
              note.empty(),
          "within bounds, a small raster is traced as it is: " + note);
    // The area of the nodes given, labelled or not, is the footprint the
    // tracer of valid nodes gives them: with a hole, node by node and in
    // blocks cut at the grid's edge.
    const std::uint32_t unlabelled = LabelFootprints::unlabelled;
    const Labels given = Labels(95, 95)
                             .set(0, 95, 0, 95, unlabelled)
                             .set(20, 40, 20, 40, 0)
                             .set(0, 50, 0, 30, 1)
                             .set(60, 95, 60, 95, 2);
    Mask valid(95, 95);
    for (std::size_t i = 0; i < valid.valid.size(); ++i)
        valid.valid[i] = given.of[i] != 0;
    for (std::uint64_t block : {1, 10}) {
        std::string why, area_why;
        const LabelFootprints labels = given.footprints(block);
        const std::string area =
            labels.area().geojson(utm_grid, utm, area_why);
        FootprintTracer tracer(95, 95, block);
        tracer.add_chunk(0, 0, 95, 95, valid.valid.data());
        check(!area.empty() && area == tracer.geojson(utm_grid, utm, why),
              "the area in blocks of " + std::to_string(block) + ": " + area +
                  area_why);
        const Texts parts = labels.geojson(utm_grid, utm, problems);
        check(parts.size() == 2 && parts.count(1) && parts.count(2),
              "the unlabelled nodes are no label's" + listed(problems));
    }
    // Labels beyond a byte are labels all the same (GDAL reads the band as
    // its own mask in bytes).
    const Texts high = Labels(10, 10)
                           .set(0, 5, 0, 5, 256)
                           .set(5, 10, 5, 10, 65534)
                           .footprints(1, 65534)
                           .geojson(utm_grid, utm, problems);
    check(high.size() == 2 && high.count(256) && high.count(65534),
          "labels 256 and 65534" + listed(problems));
    // A checkerboard of two labels has too many edges to trace node by
    // node: in blocks of 2, label 1 takes every block.
    Labels board(1024, 1024);
    for (std::uint64_t r = 0; r < 1024; ++r)
        for (std::uint64_t c = 0; c < 1024; ++c)
            board.of[r * 1024 + c] = 1 + (r + c) % 2;
    const LabelFootprints fine = board.footprints(1);
    const Texts squared =
        bathyra::trace_labels_within(fine, utm_grid, utm, problems, note);
    check(fine.boundary_edges() > bathyra::max_label_edges &&
              squared.size() == 1 && squared.count(1) && problems.empty() &&
              note.find("traced in blocks of 2 x 2 nodes (the source surveys "
                        "have too ragged outlines") != std::string::npos,
          "a checkerboard in blocks: " + note + listed(problems));
    if (squared.count(1))
        check_rectangle(squared.at(1), 0, 1024, 0, 1024, "the checkerboard");
    // Refusals: what costs every label is problems[0].
    for (const char *bogus : {"EPSG:999999", ""}) {
        check(three.footprints(1).geojson(utm_grid, bogus, problems).empty() &&
                  problems.size() == 1 && problems.count(0) &&
                  problems[0].find("no footprint") != std::string::npos,
              std::string("CRS '") + bogus + "' is refused" +
                  listed(problems));
    }
    const LabelFootprints beyond = three.footprints(1, 4);
    const LabelFootprints none = Labels(10, 10).footprints(1);
    for (const LabelFootprints *refused : {&beyond, &none})
        check(refused->geojson(utm_grid, utm, problems).empty() &&
                  problems.size() == 1 && !problems[0].empty(),
              "refused:" + listed(problems));
    check(!beyond.problem().empty(), "a label above the highest is refused");
}
#endif

void size_checks()
{
    const std::uint64_t huge = ~std::uint64_t(0);
    const std::uint64_t refused[][3] = {
        {0, 5, 1},         {5, 0, 1},
        {5, 5, 0},         {huge, huge, 1},
        {huge, 2, 1},      {std::uint64_t(1) << 40, 1 << 20, 1},
        {20000, 20000, 1}, {20000, 20000, 4},
        {4097, 4096, 1}};
    for (const auto &sizes : refused) {
        FootprintTracer tracer(sizes[0], sizes[1], sizes[2]);
        const unsigned char one[1] = {1};
        tracer.add_chunk(0, 0, 1, 1, one);
        std::string problem;
        check(!tracer.problem().empty() &&
                  tracer.geojson(utm_grid, utm, problem).empty() &&
                  problem == tracer.problem(),
              std::to_string(sizes[0]) + " x " + std::to_string(sizes[1]) +
                  " by " + std::to_string(sizes[2]) + " is refused");
    }
    for (const auto &sizes : refused)
        check(!LabelFootprints(sizes[0], sizes[1], sizes[2], 9)
                   .problem()
                   .empty(),
              "labels of " + std::to_string(sizes[0]) + " x " +
                  std::to_string(sizes[1]) + " by " +
                  std::to_string(sizes[2]) + " are refused");
    check(LabelFootprints(20000, 20000, 5, 4096).problem().empty() &&
              !LabelFootprints(10, 10, 1, 0).problem().empty() &&
              !LabelFootprints(10, 10, 1, 65535).problem().empty(),
          "labels of 20000 x 20000 in blocks of 5, up to 65534 labels");
    FootprintTracer fits(20000, 20000, 5);
    check(fits.problem().empty() && fits.mask_rows() == 4000 &&
              fits.mask_cols() == 4000,
          "20000 x 20000 in blocks of 5 is a mask of 4000 x 4000");
    check(FootprintTracer::block_for(20000, 20000) == 5 &&
              FootprintTracer::block_for(4096, 4096) == 1 &&
              FootprintTracer::block_for(4097, 4096) == 2 &&
              FootprintTracer::block_for(1, huge) > 1 &&
              FootprintTracer::block_for(0, 10) == 0,
          "blocks chosen for the sizes");
    // Pieces outside the grid refuse the tracer.
    const unsigned char nodes[4] = {1, 1, 1, 1};
    const std::uint64_t outside[][4] = {
        {9, 0, 2, 2}, {0, 9, 2, 2}, {10, 0, 1, 1}, {0, 0, huge, 1}};
    for (const auto &piece : outside) {
        FootprintTracer tracer(10, 10, 1);
        tracer.add_chunk(piece[0], piece[1], piece[2], piece[3], nodes);
        check(!tracer.problem().empty(),
              "a piece at " + std::to_string(piece[0]) + ", " +
                  std::to_string(piece[1]) + " is refused");
    }
}

}  // namespace

int main()
{
    size_checks();
    if (!FootprintTracer::available()) {
        FootprintTracer tracer(10, 10, 1);
        std::string problem;
        check(tracer.geojson(utm_grid, utm, problem).empty() &&
                  problem == "no footprint: built without GDAL",
              "without GDAL the tracer says so");
        if (failures != 0)
            return 1;
        std::printf("built without GDAL: tracing not tested\n");
        return 77;
    }
#ifdef BATHYRA_HAVE_GDAL
    shape_checks();
    refusal_checks();
    label_checks();
#endif
    if (failures != 0) {
        std::printf("%d checks failed\n", failures);
        return 1;
    }
    std::printf("all checks passed\n");
    return 0;
}
