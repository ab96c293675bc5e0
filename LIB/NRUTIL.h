// NRUTIL: zero-filled row-pointer matrices and vectors of the numeric types.
//
// A matrix is a table of NbLig row pointers; each row is a separate
// zero-filled block of NbCol elements, addressed Mat[line][column] from 0.
// Rows are separate blocks so that one line can be handed on its own to a
// block read or write. A matrix does not record its dimensions: the caller
// keeps them and passes the line count back on release.
//
// Allocation returns null on failure (after releasing whatever part was
// already allocated). Counts of 0 give a valid, empty matrix or vector, never
// null, so that an empty frame is not mistaken for a failed allocation.
// Negative counts are refused with null.
#ifndef NRUTIL_H
#define NRUTIL_H

float **fmatrice(int NbCol, int NbLig);
void frfmatrice(float **Mat, int NbLig);
unsigned char **ucmatrice(int NbCol, int NbLig);
void frucmatrice(unsigned char **Mat, int NbLig);
unsigned short **usmatrice(int NbCol, int NbLig);
void frusmatrice(unsigned short **Mat, int NbLig);
short **smatrice(int NbCol, int NbLig);
void frsmatrice(short **Mat, int NbLig);
int **imatrice(int NbCol, int NbLig);
void frimatrice(int **Mat, int NbLig);
double **dmatrice(int NbCol, int NbLig);
void frdmatrice(double **Mat, int NbLig);
long double **ldmatrice(int NbCol, int NbLig);
void frldmatrice(long double **Mat, int NbLig);

unsigned char *ucvecteur(int NbCol);
void frucvecteur(unsigned char *Mat);
unsigned short *usvecteur(int NbCol);
void frusvecteur(unsigned short *Mat);
short *svecteur(int NbCol);
void frsvecteur(short *Mat);
int *ivecteur(int NbCol);
void frivecteur(int *Mat);
double *dvecteur(int NbCol);
void frdvecteur(double *Mat);
float *fvecteur(int NbCol);
void frfvecteur(float *Mat);

#endif
