#include "tessarin_ext/state.hpp"

#include "common/host_compat.hpp"
#include "common/literals.hpp"
#include "tessarin_ext/module_name.hpp"

namespace tessarin {

ProcessState state;

namespace {

int make_pair(PyObject** slot, PyObject* first, PyObject* second) {
    *slot = PyTuple_Pack(2, first, second);
    return *slot ? 0 : -1;
}

int init_names(Names& n) {
    const InternedText table[] = {
        {&n.struct_, "struct"},       {&n.zlib, "zlib"},
        {&n.BytesIO, "BytesIO"},      {&n.Path, "Path"},
        {&n.Union, "Union"},          {&n.PNG_SIGNATURE, "PNG_SIGNATURE"},
        {&n.readChunk, "_readChunk"}, {&n.makeChunk, "_makeChunk"},
        {&n.writePng, "_writePng"},   {&n.writeBmp, "_writeBmp"},
        {&n.streamToImage, "_streamToImage"},
        {&n.read, "read"},            {&n.readinto, "readinto"},
        {&n.seek, "seek"},            {&n.tell, "tell"},
        {&n.write, "write"},          {&n.pack, "pack"},
        {&n.unpack, "unpack"},        {&n.crc32, "crc32"},
        {&n.compress, "compress"},    {&n.decompress, "decompress"},
        {&n.decompressobj, "decompressobj"},
        {&n.compressobj, "compressobj"},  {&n.flush, "flush"},
        {&n.eof, "eof"},
        {&n.unconsumed_tail, "unconsumed_tail"},
        {&n.startswith, "startswith"},
        {&n.enter, "__enter__"},      {&n.exit, "__exit__"},
        {&n.set_name, "__set_name__"},
        {&n.join, "join"},           {&n.raw, "raw"},
    };
    return intern_all(table);
}

int init_literals(Constants& c) {
    static const char png_signature[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};
    if (make_bytes(&c.png_signature, png_signature, 8) < 0) return -1;
    if (make_bytes(&c.bmp_signature, "BM", 2) < 0) return -1;
    if (make_bytes(&c.empty_bytes, "", 0) < 0) return -1;
    if (make_pair(&c.end_of_stream, c.empty_bytes, c.empty_bytes) < 0) return -1;
    const InternedText strings[] = {
        {&c.fmt_u32_be, ">I"},
        {&c.mode_read, "rb"},
        {&c.mode_write, "wb"},
    };
    if (intern_all(strings) < 0) return -1;
    if (make_int(&c.crc_mask, 0xffffffffUL) < 0) return -1;
    if (make_int(&c.zero, 0) < 0) return -1;
    if (make_int(&c.one, 1) < 0) return -1;
    if (make_int(&c.two, 2) < 0) return -1;
    if (make_int(&c.three, 3) < 0) return -1;
    for (unsigned long value = 0; value < 256; ++value) {
        if (make_int(&c.byte_values[value], value) < 0) return -1;
    }
    if (make_int(&c.four, 4) < 0) return -1;
    if (make_int(&c.eight, 8) < 0) return -1;
    if (make_int(&c.fourteen, 14) < 0) return -1;
    if (make_int(&c.thirty_six, 36) < 0) return -1;
    c.slice_to_2 = PySlice_New(nullptr, c.two, nullptr);
    if (!c.slice_to_2) return -1;
    c.slice_2_to_14 = PySlice_New(c.two, c.fourteen, nullptr);
    if (!c.slice_2_to_14) return -1;
    if (host::make_signal_check(python_source_name.data(), &c.signal_check) < 0) return -1;
    return 0;
}

}  // namespace

int init_constants() { return init_names(state.names) < 0 ? -1 : init_literals(state.constants); }

void clear_process_state() {
    PyObject** owned[] = {
        &state.module,
        &state.builtin_staticmethod,
        &state.builtin_open,
        &state.host_zlib,
        &state.host_zlib_compress,
        &state.host_zlib_compressobj,
        &state.host_zlib_decompress,
        &state.host_zlib_decompressobj,
        &state.host_bytesio_type,
        &state.host_file_type,
        &state.host_open,
    };
    for (PyObject** slot : owned) Py_CLEAR(*slot);
    state.home.dict = nullptr;
    state.builtins_dict = nullptr;
}

}  // namespace tessarin
