// skarnovelt_v2: compares two DEMs of the same frame and writes two DEMs of
// difference (first minus second) with the volumes they hold:
//   2D, the plain cell-by-cell difference;
//   3D, the difference averaged over the cell and the half-way points
//       towards its eight neighbours.
//
// One run is four stages, each once, in this order; they hand their results
// to each other through the run state below.
#include "LIB/NRUTIL.h"
#include "answers.h"
#include "dem_files.h"
#include "host.h"

#include <cstdio>

// ---------------------------------------------------------------------------
// Run state: program-wide, all zero at program start. Lines and columns are
// always those of the first DEM.
// ---------------------------------------------------------------------------
int nb_lig, nb_col;                         // frame of the first DEM (opening)
int itype_dem1, itype_dem2, itype_dem3;     // value type codes, 0 _m2, 1 _m4 (opening)
int pix_size1, pix_size2;                   // integer pixel sizes of the descriptors (opening)
bool descr_dem1_OK, descr_dem2_OK;          // false while a created descriptor lacks its second half
int interv, interv2;                        // unit of each DEM, 0 m .. 3 mm (parameters)
int interv3;                                // unit of the results, 0 m .. 5 hundredths of mm (parameters)
double sizepix;                             // pixel size in metres, source of the cell area (parameters)
int type_treat;                             // 0 absolute, 1 negative, 2 positive values (parameters)
int **itab1, **itab2;                       // DEM values as loaded (lecture)
double **dtab1, **dtab2;                    // the same heights in metres (parameters)
int **itab_2D, **itab_3D;                   // scaled results (treatment)
FILE *f1, *f1d, *f2, *f2d;                  // first and second DEM: raster, descriptor
FILE *f3, *f3d, *f4, *f4d;                  // 2D and 3D results: raster, descriptor

// Greets the user, asks for the DEMs and the results, opens the files and
// allocates the matrices.
static void opening() {}

// Loads both rasters and completes the descriptors that had to be created.
static void lecture() {}

// Asks the units, the pixel size and the treatment; converts both DEMs to
// metres.
static void parameters() {}

// Computes the differences and volumes, shows them, writes the results.
static void treatment() {}

int main()
{
    host_start();
    opening();
    lecture();
    parameters();
    treatment();
    end_run(0);
}
