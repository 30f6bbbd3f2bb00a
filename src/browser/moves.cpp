// The grid's moves: the first cell's node walks the list, the selection stays inside the grid.
#include "browser/moves.h"

namespace {

// While the selected cell holds no entry, step back; cell 0 always holds top.
void fix_selection(GridPosition& p) {
  while (p.selected > 0 && !file_name_at(p.top, p.selected))
    --p.selected;
}

void move_top_back(GridPosition& p, std::uint32_t steps) {
  for (std::uint32_t i = 0; i < steps && p.top && p.top->prevfile; ++i)
    p.top = p.top->prevfile;
}

// Moves top forward by up to steps nodes; answers how many it moved.
std::uint32_t move_top_forward(GridPosition& p, std::uint32_t steps) {
  std::uint32_t moved = 0;
  while (moved < steps && p.top && p.top->nextfile) {
    p.top = p.top->nextfile;
    ++moved;
  }
  return moved;
}

}  // namespace

Redraw move_left(GridPosition& p, GridShape) {
  if (p.selected > 0) {
    --p.selected;
    return Redraw::labels;
  }
  if (!p.top || !p.top->prevfile) return Redraw::labels;
  p.top = p.top->prevfile;
  return Redraw::cells;
}

Redraw move_right(GridPosition& p, GridShape g) {
  if (p.selected < g.cells - 1) {
    if (file_name_at(p.top, p.selected + 1)) ++p.selected;
    return Redraw::labels;
  }
  return move_top_forward(p, 1) == 1 ? Redraw::cells : Redraw::labels;
}

Redraw move_up(GridPosition& p, GridShape g) {
  if (p.selected >= g.cols) {
    p.selected -= g.cols;
    return Redraw::resume;
  }
  move_top_back(p, g.cols);
  return Redraw::cells;
}

Redraw move_down(GridPosition& p, GridShape g) {
  if (p.selected < g.cells - g.cols) {
    p.selected += g.cols;
    fix_selection(p);
    return Redraw::resume;
  }
  // Last row: scroll by a row, keeping the selection on the same entry where the list allows.
  p.selected -= g.cols - move_top_forward(p, g.cols);
  fix_selection(p);
  return Redraw::cells;
}

Redraw move_home(GridPosition& p, GridShape) {
  p.selected = 0;
  first_file(p.top);
  return Redraw::cells;
}

Redraw move_end(GridPosition& p, GridShape g) {
  p.selected = g.cells - 1;
  last_file(p.top);
  move_top_back(p, g.cells - 1);
  fix_selection(p);
  return Redraw::cells;
}

Redraw page_up(GridPosition& p, GridShape g) {
  p.selected = 0;
  move_top_back(p, g.cells);
  return Redraw::cells;
}

Redraw page_down(GridPosition& p, GridShape g) {
  p.selected = g.cells - 1;
  for (std::uint32_t i = 0; i < g.cells && file_name_at(p.top, p.selected); ++i)
    p.top = p.top->nextfile;
  fix_selection(p);
  return Redraw::cells;
}
