#include "cubic.h"

#include "cubic_rows.h"

void cubic_part(const part &p, mode m, int pad)
{
    if (p.in.X <= 0 || p.in.Y <= 0 || p.in.Z <= 0)
        return;
    cubic_rows(p, m, pad);
}
