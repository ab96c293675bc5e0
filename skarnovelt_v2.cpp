// skarnovelt_v2: compares two DEMs of the same frame and writes two DEMs of
// difference (first minus second) with the volumes they hold:
//   2D, the plain cell-by-cell difference;
//   3D, the difference averaged over the cell and the half-way points
//       towards its eight neighbours.
//
// One run is four stages, each once, in this order; they hand their results
// to each other through the run state below. A run that cannot go on says
// why, waits for a key and ends with status 1; results replace earlier files
// only once they are completely written.
#include "LIB/NRUTIL.h"
#include "answers.h"
#include "dem_files.h"
#include "difference_fast.h"
#include "host.h"
#include "progress.h"
#include "run_memory.h"
#include "units.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <new>
#include <string>

// ---------------------------------------------------------------------------
// Run state: program-wide, all zero at program start. Lines and columns are
// always those of the first DEM.
// ---------------------------------------------------------------------------
static int nb_lig, nb_col;                     // frame of the first DEM (opening)
static int itype_dem1, itype_dem2, itype_dem3; // value type codes, 0 _m2, 1 _m4 (opening)
static int pix_size1, pix_size2;               // integer pixel sizes of the descriptors (opening)
static bool descr_dem1_OK, descr_dem2_OK;      // false while a created descriptor lacks its second half
static int interv, interv2;                    // unit of each DEM, 0 m .. 3 mm (parameters)
static int interv3;                            // unit of the results, 0 m .. 5 hundredths of mm (parameters)
static double sizepix;                         // pixel size in metres, source of the cell area (parameters)
static int type_treat;                         // 0 absolute, 1 negative, 2 positive values (parameters)
static int **itab1, **itab2;                   // DEM values as loaded (lecture)
static double **dtab1, **dtab2;                // the same heights in metres (parameters)
static int **itab_2D, **itab_3D;               // scaled results, border cells 0 (treatment)
static double vol1, vol2;                      // reported 2D and 3D volumes, m³ (treatment)
static FILE *f1, *f1d, *f2, *f2d;              // first and second DEM: raster, descriptor (opening)
static FILE *f3, *f3d, *f4, *f4d;              // 2D and 3D results, written to temporary files (opening)
static std::string nomim1, nomdescr1;          // paths of the first DEM (opening)
static std::string nomim2, nomdescr2;          // paths of the second DEM (opening)
static std::string nomim3, nomdescr3;          // paths of the 2D result (opening)
static std::string nomim4, nomdescr4;          // paths of the 3D result (opening)
static std::string temp3, temp3d, temp4, temp4d; // temporary files the results are written to (opening)

// ---------------------------------------------------------------------------
// opening
// ---------------------------------------------------------------------------

static void banner()
{
    static const char *const line[16] = {
        "\n\n\t**************************************************************",
        "\n\t*                                                            *",
        "\n\t*                     SKARNOVELT                             *",
        "\n\t*                                                            *",
        "\n\t*                                                            *",
        "\n\t*                                                            *",
        "\n\t*                                                            *",
        "\n\t*              DEMs of difference in 2D and 3D with volumes  *",
        "\n\t*                     for erosion, deposition, cut and fill  *",
        "\n\t*                                                            *",
        "\n\t*                                               Version 2.0  *",
        "\n\t*                                             December 2026  *",
        "\n\t*                                                            *",
        "\n\t*                                                            *",
        "\n\t*                                                            *",
        "\n\t**************************************************************",
    };
    for (const char *l : line)
        say("%s", l);
}

// Ends the run when the host cannot give what a run on a frame of lig × col
// cells allocates.
static void check_memory(int lig, int col)
{
    const unsigned long long available = available_memory();
    if (available != 0 && run_memory_estimate(lig, col) > available)
        fatal("\n\tNot enough memory for %d lines and %d columns \n", lig, col);
}

// Reads the descriptor of a DEM, or creates it after asking its frame and
// pixel size. The lines, columns and pixel size go to *lig, *col, *pix.
// With frame_check, the memory for the frame is checked as soon as it is
// known.
static void read_or_create_descriptor(const std::string &nomdescr, int itype, FILE **fd, bool *descr_OK, int *lig,
                                      int *col, int *pix, bool frame_check)
{
    bool not_regular;
    *fd = open_regular_file(nomdescr, "r", &not_regular);
    if (*fd != nullptr) {
        int field[DESCR_FIELDS] = {*lig, *col, 0, 0, 0, *pix};
        int n = read_descriptor(*fd, field);
        std::fclose(*fd);
        *fd = nullptr;
        if (n < 2 || field[0] < 0 || field[1] < 0)
            fatal("\n\tInvalid frame size in %s \n", nomdescr.c_str());
        *lig = field[0];
        *col = field[1];
        *pix = field[5];
        *descr_OK = true;
        if (frame_check)
            check_memory(*lig, *col);
        return;
    }
    // A descriptor that exists but cannot be read (or is no regular file) is
    // not replaced.
    if (not_regular || errno != ENOENT)
        fatal("\n\tCannot read %s \n", nomdescr.c_str());

    say("\n\tNo File %s \n\n", nomdescr.c_str());
    *lig = ask_choice("\n\tNumber of lines   ? ", 0, INT_MAX);
    *col = ask_choice("\tNumber of columns ? ", 0, INT_MAX);
    if (frame_check)
        check_memory(*lig, *col);
    *pix = ask_int("\tPixel size ? ");
    // Created only now, so that a dialogue cut short leaves no empty file;
    // never through a link or over a file that appeared meanwhile. While it
    // is written it goes with the run's temporary files if the run ends, so
    // that a failed write leaves no partial descriptor.
    *fd = create_new_file(nomdescr, "w");
    if (*fd == nullptr)
        fatal("\n\tCannot create %s \n", nomdescr.c_str());
    register_temp_file(nomdescr);
    if (!write_descriptor_fields(*fd, *lig, *col, bytes_per_value(itype)) || std::fflush(*fd) != 0)
        fatal("\n\tCannot write %s \n", nomdescr.c_str());
    forget_temp_file(nomdescr);
    *descr_OK = false; // its second half comes once the raster is loaded
}

// Asks the name and value type of one input DEM, opens its raster and reads
// or creates its descriptor. `ordinal` is "FIRST" or "SECOND".
static void open_input_dem(const std::string &folder, const char *name_prompt, const char *type_prompt,
                           const char *ordinal, int *itype, std::string *nomim, std::string *nomdescr, FILE **f,
                           FILE **fd, bool *descr_OK, int *lig, int *col, int *pix, bool frame_check)
{
    std::string nomfic = ask_name(name_prompt);
    *nomim = folder + nomfic;
    *nomdescr = *nomim;
    *itype = ask_choice(type_prompt, 0, 1);
    *nomim += raster_suffix(PAIR_INPUT, *itype);
    *nomdescr += descr_suffix(PAIR_INPUT, *itype);

    bool not_regular;
    *f = open_regular_file(*nomim, "rb", &not_regular);
    if (not_regular)
        fatal("\n\tCannot read %s \n", nomim->c_str());
    if (*f == nullptr)
        fatal("\n\tFile %s unknown\n", nomim->c_str());
    read_or_create_descriptor(*nomdescr, *itype, fd, descr_OK, lig, col, pix, frame_check);
    if (*pix == 0)
        *pix = ask_int("\n\tPixel Size (in meters) ? ");

    say("\n\tTHE %s DEM NAMED %s HAS : ", ordinal, nomim->c_str());
    say("\n\t            %d LINES", *lig);
    say("\n\t        AND %d COLUMNS\n", *col);
}

// The result path among the four that would replace a file of an input DEM,
// or null.
static const std::string *result_replacing_input()
{
    const std::string *results[4] = {&nomim3, &nomdescr3, &nomim4, &nomdescr4};
    const std::string *inputs[4] = {&nomim1, &nomdescr1, &nomim2, &nomdescr2};
    for (const std::string *r : results)
        for (const std::string *in : inputs)
            if (same_file(*r, *in))
                return r;
    return nullptr;
}

// Asks the name and value type of the results until their paths are clear of
// the inputs.
static void name_results(const std::string &folder)
{
    for (;;) {
        std::string nomfic1 = ask_name("\n\tName of the two DEMs that will be created (without any extension) ? ");
        itype_dem3 = ask_choice("\n\tType of the two DEM\n\t\t0 ====> _m2\n\t\t1 ====> _m4\n\t\t", 0, 1);
        const std::string base = folder + nomfic1;
        nomim3 = base + raster_suffix(PAIR_2D, itype_dem3);
        nomdescr3 = base + descr_suffix(PAIR_2D, itype_dem3);
        nomim4 = base + raster_suffix(PAIR_3D, itype_dem3);
        nomdescr4 = base + descr_suffix(PAIR_3D, itype_dem3);
        const std::string *clash = result_replacing_input();
        if (clash == nullptr)
            return;
        say("\n\tThe result %s would replace an input DEM \n", clash->c_str());
    }
}

// Creates the temporary file that will replace a result once it is written.
static FILE *create_result(const std::string &result, const char *mode, std::string *temp)
{
    FILE *f = create_temp_file(result, mode, temp);
    if (f == nullptr)
        fatal("\n\tCannot create %s \n", result.c_str());
    return f;
}

// Allocates the six frame matrices, after making sure the host still has
// the memory for everything the run allocates.
static void allocate_matrices()
{
    check_memory(nb_lig, nb_col);
    itab1 = imatrice(nb_col, nb_lig);
    itab2 = imatrice(nb_col, nb_lig);
    itab_2D = imatrice(nb_col, nb_lig);
    itab_3D = imatrice(nb_col, nb_lig);
    dtab1 = dmatrice(nb_col, nb_lig);
    dtab2 = dmatrice(nb_col, nb_lig);
    if (!itab1 || !itab2 || !itab_2D || !itab_3D || !dtab1 || !dtab2)
        fatal("\n\tNot enough memory for %d lines and %d columns \n", nb_lig, nb_col);
}

// Greets the user, asks for the DEMs and the results, opens the files and
// allocates the matrices.
static void opening()
{
    banner();
    const std::string folder_prompt =
        std::string("\n\n\tName of the File Folder located in the Directory ") + base_directory() + " : ";
    const std::string folder = folder_path(ask_name(folder_prompt.c_str()));

    open_input_dem(folder, "\n\tName of the first DEM (whitout extension _m4.raw or _m2.raw) ? ",
                   "\n\tType of DEM\n\t\t0 ====> _m2\n\t\t1 ====> _m4\n\t\t", "FIRST", &itype_dem1, &nomim1, &nomdescr1,
                   &f1, &f1d, &descr_dem1_OK, &nb_lig, &nb_col, &pix_size1, true);
    int nb_lig2 = 0, nb_col2 = 0;
    open_input_dem(folder, "\n\tName of the second DEM (whitout extension _m4.raw or _m2.raw) ? ",
                   "\n\tType of MNT\n\t\t0 ====> _m2\n\t\t1 ====> _m4\n\t\t", "SECOND", &itype_dem2, &nomim2, &nomdescr2,
                   &f2, &f2d, &descr_dem2_OK, &nb_lig2, &nb_col2, &pix_size2, false);
    if (nb_lig != nb_lig2 || nb_col != nb_col2)
        fatal("\n\n\tThe size of the frame is different ");

    name_results(folder);
    f3 = create_result(nomim3, "wb", &temp3);
    f3d = create_result(nomdescr3, "w", &temp3d);
    f4 = create_result(nomim4, "wb", &temp4);
    f4d = create_result(nomdescr4, "w", &temp4d);

    allocate_matrices();
}

// ---------------------------------------------------------------------------
// lecture
// ---------------------------------------------------------------------------

// Reads one raster into its int matrix (2-byte values through a staging
// matrix, widened without sign), closes it and says when it does not match
// its frame.
static void load_dem(FILE *f, int itype, int **itab, const std::string &nomim, const char *stage)
{
    progress_begin(stage, nb_lig);
    RasterRead outcome;
    if (itype == DEM_M2) {
        unsigned short **jtab = usmatrice(nb_col, nb_lig);
        if (jtab == nullptr)
            fatal("\n\tNot enough memory for %d lines and %d columns \n", nb_lig, nb_col);
        outcome = read_raster(f, jtab, nb_lig, nb_col);
        for (int i = 0; i < nb_lig; i++)
            for (int j = 0; j < nb_col; j++)
                itab[i][j] = jtab[i][j];
        frusmatrice(jtab, nb_lig);
    } else {
        outcome = read_raster(f, itab, nb_lig, nb_col);
    }
    std::fclose(f);
    progress_end();
    if (outcome == RASTER_FAILED)
        fatal("\n\tCannot read %s \n", nomim.c_str());
    if (outcome == RASTER_SHORT)
        say("\n\tWarning: %s holds fewer values than its frame; the missing cells are read as 0 \n", nomim.c_str());
    if (outcome == RASTER_LONG)
        say("\n\tWarning: %s holds more values than its frame; the values beyond it are not read \n", nomim.c_str());
}

// Writes the second half of a descriptor created by opening: the range of the
// values and the pixel size.
static void complete_descriptor(FILE *fd, int **itab, int pix_size, const std::string &nomdescr, bool *descr_OK)
{
    int mind, maxd;
    scan_range(itab, nb_lig, nb_col, 10000000, 0, &mind, &maxd);
    register_temp_file(nomdescr); // this run created it: a failed write removes it
    bool written = write_descriptor_fields(fd, mind, maxd, pix_size);
    if (std::fclose(fd) != 0 || !written)
        fatal("\n\tCannot write %s \n", nomdescr.c_str());
    forget_temp_file(nomdescr);
    *descr_OK = true;
}

// Loads both rasters and completes the descriptors that had to be created.
static void lecture()
{
    load_dem(f1, itype_dem1, itab1, nomim1, "Reading the first DEM");
    if (!descr_dem1_OK)
        complete_descriptor(f1d, itab1, pix_size1, nomdescr1, &descr_dem1_OK);
    load_dem(f2, itype_dem2, itab2, nomim2, "Reading the second DEM");
    if (!descr_dem2_OK)
        complete_descriptor(f2d, itab2, pix_size2, nomdescr2, &descr_dem2_OK);
}

// ---------------------------------------------------------------------------
// parameters
// ---------------------------------------------------------------------------

// Shows the true range of a DEM (200000 and 0 for a frame without cells).
static void show_range(const char *title, int **itab)
{
    int min = 200000, max = 0;
    if (nb_lig > 0 && nb_col > 0)
        scan_range(itab, nb_lig, nb_col, INT_MAX, INT_MIN, &min, &max);
    say("%s", title);
    say("\n\tMin : %d\tMax : %d ", min, max);
}

static const char *const INPUT_UNIT_MENU = "\n\t\t0 ====> in meters\n\t\t1 ====> in decimeters"
                                           "\n\t\t2 ====> in centimeters\n\t\t3 ====> in millimeters\n\t\t";

// Asks the units, the pixel size and the treatment; converts both DEMs to
// metres.
static void parameters()
{
    show_range("\n\tDynamic scale of the first DEM : ", itab1);
    interv = ask_choice((std::string("\n\n\tHypsometric Interval of the fisrt DEM : ") + INPUT_UNIT_MENU).c_str(), 0, 3);
    show_range("\n\tDynamic scale of the second DEM: ", itab2);
    interv2 = ask_choice((std::string("\n\n\tHypsometric Interval of the second DEM : ") + INPUT_UNIT_MENU).c_str(), 0, 3);

    say("\n\n\tThe hypsometric interval of the first DEM is in %s ", height_unit(interv).dialogue);
    say("\n\tand the hypsometric interval of the second one is in %s ", height_unit(interv2).dialogue);
    say("\n\tNote: the algorithm uses float values and will transform the data_in");
    say("\n\n\tAs the resulting data use an integer 4 format, you must define the interval ");
    interv3 = ask_choice("\n\n\tHypsometric Interval of the resulting DEMs : "
                         "\n\t\t0 ====> in meters\n\t\t1 ====> in decimeters"
                         "\n\t\t2 ====> in centimeters\n\t\t3 ====> in millimeters"
                         "\n\t\t4 ====> tenths of millimeters"
                         "\n\t\t5 ====> hundredths of millimeter\n\t\t",
                         0, 5);

    progress_begin("Converting the first DEM to metres", nb_lig);
    convert_to_metres_fast(itab1, dtab1, nb_lig, nb_col, interv);
    progress_begin("Converting the second DEM to metres", nb_lig);
    convert_to_metres_fast(itab2, dtab2, nb_lig, nb_col, interv2);
    progress_end();

    // A pixel size must be positive, and its cell area a finite double (a
    // side beyond about 1e154 m would make every volume infinite or NaN).
    do
        sizepix = ask_real("\n\tPixel size (in meters) ? ");
    while (!(sizepix > 0) || !std::isfinite(cell_area(sizepix)));
    type_treat = ask_choice("\n\tType of treatment : "
                            "\n\t\t0 ====> absolute values\n\t\t1 ====> negative values"
                            "\n\t\t2 ====> positive values\n\t\t",
                            0, 2);
}

// ---------------------------------------------------------------------------
// treatment
// ---------------------------------------------------------------------------

// Writes one result raster and the six fields of its descriptor. A 2-byte
// result keeps the low 16 bits of each value (negative values wrap).
static bool write_result(int **itab, unsigned short **jtab, FILE *f, FILE *fd)
{
    int min, max;
    bool written;
    if (itype_dem3 == DEM_M2) {
        for (int i = 0; i < nb_lig; i++)
            for (int j = 0; j < nb_col; j++)
                jtab[i][j] = static_cast<unsigned short>(itab[i][j]);
        written = write_raster(f, jtab, nb_lig, nb_col);
        scan_range(jtab, nb_lig, nb_col, 100000, 0, &min, &max);
    } else {
        written = write_raster(f, itab, nb_lig, nb_col);
        scan_range(itab, nb_lig, nb_col, 100000, 0, &min, &max);
    }
    return written && write_descriptor_fields(fd, nb_lig, nb_col, bytes_per_value(itype_dem3)) &&
           write_descriptor_fields(fd, min, max, pix_size1);
}

// Puts a written result file on disk and closes it; on failure the run ends
// and the earlier result stays.
static void finish_result(FILE *f, const std::string &result)
{
    bool ok = flush_to_disk(f);
    if (std::fclose(f) != 0 || !ok)
        fatal("\n\tCannot write %s \n", result.c_str());
}

// Replaces the four results by their completed temporary files, as one
// step for the signals: one that arrives meanwhile takes effect after the
// last rename. A temporary file whose name no longer leads to the file the
// run wrote (swapped for a link or another file) replaces nothing: all four
// are checked first. The renames stop at the first that fails.
static void replace_results()
{
    const std::string *temps[4] = {&temp3, &temp3d, &temp4, &temp4d};
    const std::string *results[4] = {&nomim3, &nomdescr3, &nomim4, &nomdescr4};
    const std::string *failed = nullptr;
    hold_signals();
    for (int k = 0; k < 4 && failed == nullptr; k++)
        if (!is_own_temp_file(*temps[k]))
            failed = results[k];
    for (int k = 0; k < 4 && failed == nullptr; k++) {
        if (replace_file(*temps[k], *results[k]))
            forget_temp_file(*temps[k]);
        else
            failed = results[k];
    }
    release_signals();
    if (failed != nullptr)
        fatal("\n\tCannot write %s \n", failed->c_str());
}

// Computes the differences and volumes, shows them, writes the results.
static void treatment()
{
    progress_begin("Computing the differences", nb_lig);
    const DifferenceSums sums = difference_pass_fast(dtab1, dtab2, nb_lig, nb_col, sizepix, type_treat, interv3,
                                                     itype_dem3, itab_2D, itab_3D);
    progress_end();
    vol1 = sums.vol_total_2D;
    vol2 = sums.vol_total_3D;
    say("\n\n\n\t2D Volume %lf 3D Volume %lf ", vol1, vol2);
    if (sums.misfit_2D != 0)
        say("\n\tWarning: %lld cells of the 2D result do not fit the chosen type ", sums.misfit_2D);
    if (sums.misfit_3D != 0)
        say("\n\tWarning: %lld cells of the 3D result do not fit the chosen type ", sums.misfit_3D);
    getch();

    unsigned short **jtab = nullptr;
    if (itype_dem3 == DEM_M2) {
        jtab = usmatrice(nb_col, nb_lig);
        if (jtab == nullptr)
            fatal("\n\tNot enough memory for %d lines and %d columns \n", nb_lig, nb_col);
    }
    if (!write_result(itab_2D, jtab, f3, f3d))
        fatal("\n\tCannot write %s \n", nomim3.c_str());
    if (!write_result(itab_3D, jtab, f4, f4d))
        fatal("\n\tCannot write %s \n", nomim4.c_str());
    frusmatrice(jtab, nb_lig);
    if (!write_result_trailer(f3d, type_treat, vol1))
        fatal("\n\tCannot write %s \n", nomdescr3.c_str());
    if (!write_result_trailer(f4d, type_treat, vol2))
        fatal("\n\tCannot write %s \n", nomdescr4.c_str());

    finish_result(f3, nomim3);
    finish_result(f3d, nomdescr3);
    finish_result(f4, nomim4);
    finish_result(f4d, nomdescr4);
    replace_results();

    frimatrice(itab1, nb_lig);
    frimatrice(itab2, nb_lig);
    frimatrice(itab_2D, nb_lig);
    frimatrice(itab_3D, nb_lig);
}

int main()
{
    host_start();
    try {
        opening();
        lecture();
        parameters();
        treatment();
    } catch (const std::bad_alloc &) {
        // Whatever allocation failed, the run ends as when the frame is too large.
        fatal("\n\tNot enough memory for %d lines and %d columns \n", nb_lig, nb_col);
    }
    end_run(0);
}
