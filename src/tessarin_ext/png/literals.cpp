#include "tessarin_ext/png/literals.hpp"

#include "common/literals.hpp"
#include "kernels/png_format.hpp"

namespace tessarin::png {

Literals literals;

int init_literals() {
    Literals& l = literals;
    if (make_bytes(&l.tag_ihdr, "IHDR", 4) < 0) return -1;
    if (make_bytes(&l.tag_idat, "IDAT", 4) < 0) return -1;
    if (make_bytes(&l.tag_iend, "IEND", 4) < 0) return -1;
    if (intern(&l.fmt_ihdr, ">IIBBBBB") < 0) return -1;
    if (make_int(&l.bit_depth, bit_depth_8) < 0) return -1;
    return make_int(&l.color_type_rgb, color_rgb);
}

}  // namespace tessarin::png
