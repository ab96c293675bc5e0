// a × b + c as written, in a file of its own so that the compiler sees no
// values, built with FMA available: a build that contracts floating-point
// expressions fuses it into one FMA.
double multiply_then_add(double a, double b, double c);

double multiply_then_add(double a, double b, double c) { return a * b + c; }
