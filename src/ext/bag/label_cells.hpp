// The loops over the cells of a label raster (label_footprints.cpp), for
// cells of one byte (labels 1 to 254, 255 for a node that holds data but
// has no label) or of two (1 to 65534, and 65535); 0 is a cell without
// data.  In a cell, the lowest label of its nodes wins, and any label wins
// over no label.
#pragma once

#include <cstdint>
#include <vector>

namespace bathyra {
namespace label_cells {

// The value of a cell of no label.
template <class Cell> constexpr Cell none()
{
    return Cell(~Cell(0));
}

// `cell` given `label` too.
template <class Cell> inline void lowest(Cell &cell, Cell label)
{
    if (label != 0 && (cell == 0 || label < cell))
        cell = label;
}

// What marking a piece found: the highest label (not `unlabelled`) and
// whether any node was given.
struct Marked {
    std::uint32_t highest = 0;
    bool any = false;
};

// Marks the labels of a height x width piece of nodes at (row0, col0)
// into `cells` (`cols` a row, `block` nodes a side), noting each label
// seen; `unlabelled` and labels above max_label become none<Cell>().
template <class Cell>
Marked mark(std::vector<Cell> &cells, std::uint64_t cols, std::uint64_t block,
            std::uint64_t row0, std::uint64_t col0, std::uint64_t height,
            std::uint64_t width, const std::uint32_t *labels,
            std::uint32_t max_label, std::uint32_t unlabelled,
            std::vector<bool> &seen)
{
    Marked marked;
    std::uint32_t last = 0;
    for (std::uint64_t r = 0; r < height; ++r) {
        const std::uint32_t *line = labels + r * width;
        Cell *row = cells.data() + ((row0 + r) / block) * cols;
        for (std::uint64_t c = 0; c < width; ++c) {
            const std::uint32_t label = line[c];
            if (label == 0)
                continue;
            if (label != last) {  // neighbours mostly share their label
                last = label;
                if (label != unlabelled) {
                    if (label > marked.highest)
                        marked.highest = label;
                    if (label <= max_label)
                        seen[label] = true;
                }
            }
            lowest(row[(col0 + c) / block],
                   label > max_label ? none<Cell>() : Cell(label));
            marked.any = true;
        }
    }
    return marked;
}

// Each cell's label `l` becomes to(l) (a label, or none<Cell>()); cells
// without data and of no label stay so.
template <class Cell, class To> void relabel(std::vector<Cell> &cells, To to)
{
    for (Cell &cell : cells)
        if (cell != 0 && cell != none<Cell>())
            cell = to(cell);
}

// `in` (rows x cols) into `out` (`out_cols` a row), `factor` cells a side
// to one.
template <class Cell>
void coarsen(const std::vector<Cell> &in, std::uint64_t rows,
             std::uint64_t cols, std::uint64_t factor, std::vector<Cell> &out,
             std::uint64_t out_cols)
{
    for (std::uint64_t r = 0; r < rows; ++r) {
        const Cell *line = in.data() + r * cols;
        Cell *row = out.data() + (r / factor) * out_cols;
        for (std::uint64_t c = 0; c < cols; ++c)
            lowest(row[c / factor], line[c]);
    }
}

// The edges between cells of different values (or the raster's edge) with
// a value on one side at least.
template <class Cell>
std::uint64_t edges(const std::vector<Cell> &cells, std::uint64_t rows,
                    std::uint64_t cols)
{
    std::uint64_t count = 0;
    for (std::uint64_t r = 0; r < rows; ++r) {
        const Cell *line = cells.data() + r * cols;
        const Cell *below = r + 1 < rows ? line + cols : nullptr;
        for (std::uint64_t c = 0; c < cols; ++c) {
            const Cell here = line[c];
            const Cell right = c + 1 < cols ? line[c + 1] : 0;
            const Cell under = below ? below[c] : 0;
            count += (here != right) + (here != under);
            if (c == 0)
                count += here != 0;
            if (r == 0)
                count += here != 0;
        }
    }
    return count;
}

}  // namespace label_cells
}  // namespace bathyra
