#include "NRUTIL.h"

#include <cstdlib>

namespace {

// calloc(0, …) may legally return null; ask for one element instead so that
// an empty vector or row is a valid pointer.
template <typename T> T *zeroed_block(int NbCol)
{
    if (NbCol < 0)
        return nullptr;
    return static_cast<T *>(std::calloc(NbCol > 0 ? static_cast<std::size_t>(NbCol) : 1, sizeof(T)));
}

template <typename T> void release_matrix(T **Mat, int NbLig)
{
    if (Mat == nullptr)
        return;
    for (int i = 0; i < NbLig; i++)
        std::free(Mat[i]);
    std::free(Mat);
}

template <typename T> T **zeroed_matrix(int NbCol, int NbLig)
{
    if (NbCol < 0 || NbLig < 0)
        return nullptr;
    T **buff = zeroed_block<T *>(NbLig);
    if (buff == nullptr)
        return nullptr;
    for (int i = 0; i < NbLig; i++) {
        buff[i] = zeroed_block<T>(NbCol);
        if (buff[i] == nullptr) {
            // Rows 0 .. i-1 and the table were allocated: give them back.
            release_matrix(buff, i);
            return nullptr;
        }
    }
    return buff;
}

} // namespace

float **fmatrice(int NbCol, int NbLig) { return zeroed_matrix<float>(NbCol, NbLig); }
void frfmatrice(float **Mat, int NbLig) { release_matrix(Mat, NbLig); }
unsigned char **ucmatrice(int NbCol, int NbLig) { return zeroed_matrix<unsigned char>(NbCol, NbLig); }
void frucmatrice(unsigned char **Mat, int NbLig) { release_matrix(Mat, NbLig); }
unsigned short **usmatrice(int NbCol, int NbLig) { return zeroed_matrix<unsigned short>(NbCol, NbLig); }
void frusmatrice(unsigned short **Mat, int NbLig) { release_matrix(Mat, NbLig); }
short **smatrice(int NbCol, int NbLig) { return zeroed_matrix<short>(NbCol, NbLig); }
void frsmatrice(short **Mat, int NbLig) { release_matrix(Mat, NbLig); }
int **imatrice(int NbCol, int NbLig) { return zeroed_matrix<int>(NbCol, NbLig); }
void frimatrice(int **Mat, int NbLig) { release_matrix(Mat, NbLig); }
double **dmatrice(int NbCol, int NbLig) { return zeroed_matrix<double>(NbCol, NbLig); }
void frdmatrice(double **Mat, int NbLig) { release_matrix(Mat, NbLig); }
long double **ldmatrice(int NbCol, int NbLig) { return zeroed_matrix<long double>(NbCol, NbLig); }
void frldmatrice(long double **Mat, int NbLig) { release_matrix(Mat, NbLig); }

unsigned char *ucvecteur(int NbCol) { return zeroed_block<unsigned char>(NbCol); }
void frucvecteur(unsigned char *Mat) { std::free(Mat); }
unsigned short *usvecteur(int NbCol) { return zeroed_block<unsigned short>(NbCol); }
void frusvecteur(unsigned short *Mat) { std::free(Mat); }
short *svecteur(int NbCol) { return zeroed_block<short>(NbCol); }
void frsvecteur(short *Mat) { std::free(Mat); }
int *ivecteur(int NbCol) { return zeroed_block<int>(NbCol); }
void frivecteur(int *Mat) { std::free(Mat); }
double *dvecteur(int NbCol) { return zeroed_block<double>(NbCol); }
void frdvecteur(double *Mat) { std::free(Mat); }
float *fvecteur(int NbCol) { return zeroed_block<float>(NbCol); }
void frfvecteur(float *Mat) { std::free(Mat); }
