#include "difference.h"

#include "dem_files.h"
#include "progress.h"

#include <climits>
#include <cmath>
#include <cstdint>

// The factors of the units come from the one table (units.h): to metres,
// the double constants 1, 0.1, 0.01, 0.001; from metres, the whole numbers
// 1, 10, …, 100000.
double unit_to_metres(int interv) { return height_unit(interv).to_metres; }
double unit_from_metres(int interv3) { return static_cast<double>(height_unit(interv3).per_metre); }

void convert_to_metres(int *const *itab, double *const *dtab, int nb_lig, int nb_col, int interv)
{
    const long double factor = unit_to_metres(interv);
    for (int i = 0; i < nb_lig; i++) {
        for (int j = 0; j < nb_col; j++)
            dtab[i][j] = interv == 0 ? static_cast<double>(itab[i][j])
                                     : static_cast<double>(static_cast<long double>(itab[i][j]) * factor);
        progress_step(i + 1);
    }
}

// The neighbours of cell I, clockwise from the upper left (upper = smaller
// line index):
//
//      A  B  C        (i-1, j-1)  (i-1, j)  (i-1, j+1)
//      H  I  D        (i,   j-1)  (i,   j)  (i,   j+1)
//      G  F  E        (i+1, j-1)  (i+1, j)  (i+1, j+1)
static const int NEIGHBOUR_LINE[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
static const int NEIGHBOUR_COLUMN[8] = {-1, 0, 1, 1, 1, 0, -1, -1};

void cell_differences(double *const *dtab1, double *const *dtab2, int i, int j, double *dif_2D, double *dif_3D)
{
    const long double half = 0.5;
    const long double ninth = 0.1111111111111111; // the double nearest 1/9, widened
    const double c1 = dtab1[i][j];
    const double c2 = dtab2[i][j];
    // A + B + … + H + I, summed left to right in extended precision; each
    // half-way height A1 … H1, A2 … H2 and each difference A … H is a double.
    long double sum = 0;
    for (int k = 0; k < 8; k++) {
        const int n = i + NEIGHBOUR_LINE[k];
        const int m = j + NEIGHBOUR_COLUMN[k];
        const double h1 = static_cast<double>((c1 + static_cast<long double>(dtab1[n][m])) * half);
        const double h2 = static_cast<double>((c2 + static_cast<long double>(dtab2[n][m])) * half);
        sum += static_cast<double>(static_cast<long double>(h1) - h2);
    }
    const double centre = static_cast<double>(static_cast<long double>(c1) - c2); // I = I1 - I2
    sum += centre;
    *dif_3D = static_cast<double>(sum * ninth);
    *dif_2D = centre;
}

int scale_result(double kept, int interv3, int itype, bool *fits)
{
    // The product is truncated in extended precision, never rounded to double
    // first (43 dm - 0 m gives 4.29999… m, which scales to 42, not 43).
    const long double scaled = std::trunc(static_cast<long double>(kept) * unit_from_metres(interv3));
    if (itype == DEM_M2)
        *fits = scaled >= -32768.0L && scaled <= 65535.0L;
    else
        *fits = scaled >= static_cast<long double>(INT_MIN) && scaled <= static_cast<long double>(INT_MAX);
    // The low 32 bits of the integer: the remainder modulo 2^32 is exact, has
    // the sign of the value and lies within ±2^32, so it converts without
    // overflow whatever the magnitude.
    const long double low = std::fmod(scaled, 4294967296.0L);
    return static_cast<int>(static_cast<uint32_t>(static_cast<long long>(low)));
}

double kept_value(double dif, int type_treat)
{
    switch (type_treat) {
    case TREAT_ABSOLUTE:
        return std::fabs(dif);
    case TREAT_NEGATIVE:
        return dif < 0 ? dif : 0.0;
    case TREAT_POSITIVE:
        return dif > 0 ? dif : 0.0;
    default:
        return 0.0;
    }
}

double cell_area(double sizepix) { return static_cast<double>(static_cast<long double>(sizepix) * sizepix); }

void result_to_metres(int *const *itab, double *const *dtab, int nb_lig, int nb_col, int interv3)
{
    const long double factor = unit_from_metres(interv3);
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++)
            dtab[i][j] = static_cast<double>(static_cast<long double>(itab[i][j]) / factor);
}

void visit_interior_cells(double *const *dtab1, double *const *dtab2, int nb_lig, int nb_col, double sizepix,
                          CellVisit visit, void *context, double *vol_total_2D, double *vol_total_3D)
{
    const double pix_surf = cell_area(sizepix);
    *vol_total_2D = 0.0;
    *vol_total_3D = 0.0;
    for (int i = 1; i < nb_lig - 1; i++) {
        progress_step(i);
        for (int j = 1; j < nb_col - 1; j++) {
            CellDifference cell;
            cell.i = i;
            cell.j = j;
            cell_differences(dtab1, dtab2, i, j, &cell.dif_2D, &cell.dif_3D);
            // Every interior cell with its sign, whatever is done with it.
            cell.vol_2D = static_cast<double>(static_cast<long double>(cell.dif_2D) * pix_surf);
            cell.vol_3D = static_cast<double>(static_cast<long double>(cell.dif_3D) * pix_surf);
            *vol_total_2D = static_cast<double>(static_cast<long double>(*vol_total_2D) + cell.vol_2D);
            *vol_total_3D = static_cast<double>(static_cast<long double>(*vol_total_3D) + cell.vol_3D);
            visit(cell, context);
        }
    }
}

namespace {
// What the treatment of the cells needs, and the misfits it counts.
struct TreatmentPass {
    int type_treat, interv3, itype_dem3;
    int *const *itab_2D;
    int *const *itab_3D;
    long long misfit_2D, misfit_3D;
};

// Keeps what the treatment selects of a cell's differences, scaled.
void treat_cell(const CellDifference &cell, void *context)
{
    TreatmentPass *t = static_cast<TreatmentPass *>(context);
    bool fits;
    t->itab_2D[cell.i][cell.j] = scale_result(kept_value(cell.dif_2D, t->type_treat), t->interv3, t->itype_dem3, &fits);
    t->misfit_2D += !fits;
    t->itab_3D[cell.i][cell.j] = scale_result(kept_value(cell.dif_3D, t->type_treat), t->interv3, t->itype_dem3, &fits);
    t->misfit_3D += !fits;
}
} // namespace

DifferenceSums difference_pass(double *const *dtab1, double *const *dtab2, int nb_lig, int nb_col, double sizepix,
                               int type_treat, int interv3, int itype_dem3, int *const *itab_2D, int *const *itab_3D)
{
    DifferenceSums sums = {0.0, 0.0, 0, 0};
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++)
            itab_2D[i][j] = 0;
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++)
            itab_3D[i][j] = 0;

    TreatmentPass t = {type_treat, interv3, itype_dem3, itab_2D, itab_3D, 0, 0};
    visit_interior_cells(dtab1, dtab2, nb_lig, nb_col, sizepix, treat_cell, &t, &sums.vol_total_2D, &sums.vol_total_3D);
    sums.misfit_2D = t.misfit_2D;
    sums.misfit_3D = t.misfit_3D;
    return sums;
}
