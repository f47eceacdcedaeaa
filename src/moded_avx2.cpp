// The linear rule's rows under a mode (moded_rows.h) compiled for AVX2.
#include "moded_rows.h"

void moded_rows_avx2(const part &p, mode m, moded_voxel voxel) { moded_rows(p, m, voxel); }
