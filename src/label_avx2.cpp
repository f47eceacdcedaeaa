// The nearest and label kernels compiled for AVX2 (see CMakeLists.txt).
#include "label_rows.h"

void label_avx2(const part &p, const typed &t) { label_kernels(p, t); }
