// The view's drawing: rendered once into a Picture, sent into a Pixmap, and copied from there
// to the window on every exposure, without sending it again. Private to the viewer.
#pragma once

#include <string>

#include "formats/formats.h"
#include "viewer/view_state.h"

// The info line under the frame, when shown.
struct Band {
  bool shown = false;
  std::string name;
  std::string rest;
  bool operator==(const Band&) const = default;
};

// Renders the part of image that layout puts into frame (the window's top) into a new
// window-sized drawing, black around it, with band below; without memory for it nothing is
// drawn this time.
void render(const Image& image, const Layout& layout, Frame frame, const Band& band);
// Renders the drawing the next slide will want, kept aside until take_ahead asks for it.
void render_ahead(const Image& image, const Layout& layout, Frame frame, const Band& band);
// Makes the drawing rendered ahead the drawing, when it shows image with layout and band.
bool take_ahead(const Image& image, const Layout& layout, const Band& band);
// Copies the drawing to the window.
void repaint();
// Whether the drawing shows image with layout and band at the window's size.
bool drawing_current(const Image& image, const Layout& layout, const Band& band);
// Lets the drawing and the one rendered ahead go.
void forget_drawing();
// Whether the drawings of an animation's frames are kept once shown, for its later loops: asked
// while an animation whose frames all stay in memory plays. Without, those kept go.
void keep_frame_drawings(bool keep);
// Transparent parts over a checkerboard instead of the window's black, or black again, for
// every image until the program ends; the drawings are rendered anew.
void toggle_checkerboard();
// Tells the drawing that image is about to go, so no later check takes a new image at the
// same address for it.
void image_going(const Image* image);
