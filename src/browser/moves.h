// The grid's moves as plain functions of where it stands, with no window: which node the first
// cell shows and which cell is selected, for a grid of a given shape. Private to the browser.
#pragma once

#include <cstdint>

#include "filelist/filelist.h"

struct GridPosition {
  FileNode* top = nullptr;     // the node in the first cell
  std::uint32_t selected = 0;  // the selected cell, from 0
};

struct GridShape {
  std::uint32_t cols = 1;
  std::uint32_t cells = 1;
};

// What a move changed, and so what is drawn again.
enum class Redraw {
  labels,  // the selection only: the label bars
  resume,  // the selection only: the label bars, and the thumbnails when a pass was cut short
  cells,   // the cells shown: everything
};

// The selection never comes to rest on a cell without an entry, except where Right at the last
// cell scrolls on.
Redraw move_left(GridPosition& p, GridShape g);
Redraw move_right(GridPosition& p, GridShape g);
Redraw move_up(GridPosition& p, GridShape g);
Redraw move_down(GridPosition& p, GridShape g);
Redraw move_home(GridPosition& p, GridShape g);
Redraw move_end(GridPosition& p, GridShape g);
Redraw page_up(GridPosition& p, GridShape g);
Redraw page_down(GridPosition& p, GridShape g);
