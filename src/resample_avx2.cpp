// AVX2 path: the portable rows of resample_rows.h compiled for AVX2. The
// compiler's four-wide double and eight-wide float loops beat hand-written
// gathers here (sample pairs are fetched by 8-byte copies instead), and the
// source stays the one the scalar path runs, operation for operation.
#include "resample_rows.h"

void resample_avx2(const part &p) { each_row(p, plain_row); }
