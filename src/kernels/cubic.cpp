#include "kernels/cubic.h"

#include "kernels/table.h"

void cubic_part(const part &p, mode m, int pad) { best_table().cubic(p, m, pad); }
