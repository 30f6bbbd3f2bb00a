// The info line: a band one line of the window's font high along the bottom of the window, in
// the grid and in the view. Its colours are a dark and a light grey that every visual shows
// exactly (grey levels of the 8-bit colour cube, and whole steps of 5 and 6 bits), so the text
// reads the same over any picture at every depth.
#include <X11/Xlib.h>

#include <string>
#include <vector>

#include "xsupport/xsupport.h"

namespace {

constexpr int band_rgb = 0x333333;
constexpr int text_rgb = 0xffffff;
constexpr int padding = 2;    // rows above and below the text
constexpr int text_left = 4;  // columns before the text
constexpr char separator[] = "  ";
constexpr char ellipsis[] = "\u2026";

int text_width(const std::string& text) {
  return Xutf8TextEscapement(state.fontset, text.c_str(), static_cast<int>(text.size()));
}

// Where each UTF-8 character of text starts, and the end.
std::vector<std::size_t> character_starts(const std::string& text) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < text.size(); ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
  starts.push_back(text.size());
  return starts;
}

// text, or as much of its start and end as fits into width around an ellipsis; the end gets
// the larger half, so a name keeps its extension and its number.
std::string cut_in_middle(const std::string& text, int width) {
  if (text_width(text) <= width) return text;
  const std::vector<std::size_t> starts = character_starts(text);
  const std::size_t characters = starts.size() - 1;
  for (std::size_t keep = characters; keep-- > 0;) {
    const std::size_t head = keep / 2, tail = keep - head;
    const std::string cut =
        text.substr(0, starts[head]) + ellipsis + text.substr(starts[characters - tail]);
    if (text_width(cut) <= width) return cut;
  }
  return ellipsis;
}

}  // namespace

std::uint32_t x_InfoLineHeight() {
  const XFontSetExtents* extents = XExtentsOfFontSet(state.fontset);
  return static_cast<std::uint32_t>(extents->max_logical_extent.height + 2 * padding);
}

void x_DrawInfoLine(Drawable drawable, std::uint32_t width, std::uint32_t height,
                    const std::string& name, const std::string& rest) {
  const std::uint32_t band = x_InfoLineHeight();
  if (height < band) return;
  const int top = static_cast<int>(height - band);
  XGCValues values{};
  values.foreground = x_MakeColor(band_rgb);
  values.graphics_exposures = False;
  GC gc = XCreateGC(state.display, drawable, GCForeground | GCGraphicsExposures, &values);
  XFillRectangle(state.display, drawable, gc, 0, top, width, band);
  const std::string tail = rest.empty() ? rest : separator + rest;
  const int room = static_cast<int>(width) - 2 * text_left - text_width(tail);
  const std::string text = cut_in_middle(name, room) + tail;
  XSetForeground(state.display, gc, x_MakeColor(text_rgb));
  const XFontSetExtents* extents = XExtentsOfFontSet(state.fontset);
  Xutf8DrawString(state.display, drawable, state.fontset, gc, text_left,
                  top + padding - extents->max_logical_extent.y, text.c_str(),
                  static_cast<int>(text.size()));
  XFreeGC(state.display, gc);
}
