// What the pictures drawn with cairo share: round steps for axes and
// scales, text placed by its alignment, the surface as PNG bytes.
#ifndef PICTURE_DRAWING_H
#define PICTURE_DRAWING_H

#include <cairo.h>

#include <string>

// The font of every label.
extern const char *const PICTURE_FONT;

// A round step (1, 2 or 5 times a power of ten) giving about `target`
// intervals over span.
double nice_step(double span, int target);

// Decimals that show a multiple of step exactly.
int decimals_for(double step);

double text_width(cairo_t *cr, const std::string &text);

// Text whose baseline starts at x - align × its width (0 left, 0.5
// centred, 1 right-aligned) and y.
void text_at(cairo_t *cr, double x, double y, const std::string &text, double align);

// The surface's PNG bytes into *png. False, with *error naming what, when
// cairo fails.
bool surface_png(cairo_surface_t *surface, const std::string &what, std::string *png, std::string *error);

#endif
