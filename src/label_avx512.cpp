// The nearest and label kernels compiled for AVX512 (see CMakeLists.txt).
#include "label_rows.h"

void label_avx512(const part &p, const typed &t) { label_kernels(p, t); }
