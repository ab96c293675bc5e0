// The pictures of an error model learned from stable ground (PNG, through
// cairo): the error of the difference against the slope (the NMAD of each
// slope bin and the interpolation between them), and the variogram of the
// standardised differences with its fitted model.
#ifndef ERROR_MODEL_PICTURE_H
#define ERROR_MODEL_PICTURE_H

#include "stable_error.h"

#include <string>

// The PNG bytes of each picture into *png. False, with *error, when cairo
// fails or there is nothing to draw (no bins; a variogram not fitted).
bool error_slope_png(const StableErrorModel &model, std::string *png, std::string *error);
bool variogram_png(const Variogram &variogram, std::string *png, std::string *error);


#endif
