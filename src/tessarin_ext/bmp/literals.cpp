#include "tessarin_ext/bmp/literals.hpp"

#include "common/literals.hpp"
#include "tessarin_ext/bmp/bmp.hpp"

namespace tessarin::bmp {

Literals literals;

int init_literals() {
    Literals& l = literals;
    const InternedText formats[] = {
        {&l.fmt_file, "<IHHI"},
        {&l.fmt_u32_le, "<I"},
        {&l.fmt_info_read, "<iiHHIIiiII"},
        {&l.fmt_info_write, "<IIIHHIIIIII"},
    };
    if (intern_all(formats) < 0) return -1;
    if (make_int(&l.headers_size, 54) < 0) return -1;
    if (make_int(&l.info_header_size, 40) < 0) return -1;
    if (make_int(&l.bits_per_pixel, bits_per_pixel) < 0) return -1;
    return make_int(&l.resolution, 2835);
}

}  // namespace tessarin::bmp
