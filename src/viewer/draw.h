// The view's drawing: rendered once into a Picture, sent into a Pixmap, and copied from there
// to the window on every exposure, without sending it again. Private to the viewer.
#pragma once

#include "formats/formats.h"
#include "viewer/view_state.h"

// Renders the part of image that layout puts into the window into a new window-sized drawing,
// the rest black; without memory for it nothing is drawn this time.
void render(const Image& image, const Layout& layout);
// Copies the drawing to the window.
void repaint();
// Whether the drawing shows image with layout at the window's size.
bool drawing_current(const Image& image, const Layout& layout);
// Lets the drawing go.
void forget_drawing();
// Tells the drawing that image is about to go, so no later check takes a new image at the
// same address for it.
void image_going(const Image* image);
