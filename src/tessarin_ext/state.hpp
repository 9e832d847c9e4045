// Process-wide state: one module object per process, the objects cached at
// initialisation and the constants the module's code uses.
#pragma once

#include <Python.h>

#include <cstdint>

#include "common/module_home.hpp"
#include "tessarin_ext/module_name.hpp"

namespace tessarin {

// Interned attribute and global names.
struct Names {
    PyObject* struct_;
    PyObject* zlib;
    PyObject* BytesIO;
    PyObject* Path;
    PyObject* Union;
    PyObject* PNG_SIGNATURE;
    PyObject* readChunk;
    PyObject* makeChunk;
    PyObject* writePng;
    PyObject* writeBmp;
    PyObject* streamToImage;
    PyObject* read;
    PyObject* readinto;
    PyObject* seek;
    PyObject* tell;
    PyObject* write;
    PyObject* pack;
    PyObject* unpack;
    PyObject* crc32;
    PyObject* compress;
    PyObject* decompress;
    PyObject* decompressobj;
    PyObject* compressobj;
    PyObject* flush;
    PyObject* eof;
    PyObject* unconsumed_tail;
    PyObject* startswith;
    PyObject* enter;
    PyObject* exit;
    PyObject* set_name;
    PyObject* join;
    PyObject* raw;
};

// Literal objects the module's code shares: signatures, byte strings, the
// chunk layer's struct format and CRC mask, file modes, ints, slices. The
// codecs keep their own (png/literals.hpp, bmp/literals.hpp).
struct Constants {
    PyObject* png_signature;     // bytes, 8
    PyObject* bmp_signature;     // b"BM"
    PyObject* empty_bytes;       // b""
    PyObject* end_of_stream;     // (b"", b"")
    PyObject* fmt_u32_be;        // ">I"
    PyObject* mode_read;         // "rb"
    PyObject* mode_write;        // "wb"
    PyObject* crc_mask;          // 0xffffffff
    PyObject* zero;              // 0
    PyObject* one;               // 1
    PyObject* two;               // 2
    PyObject* three;             // 3
    PyObject* four;              // 4
    PyObject* eight;             // 8
    PyObject* fourteen;          // 14
    PyObject* thirty_six;        // 36
    PyObject* slice_to_2;            // slice(None, 2): where a BMP signature is
    PyObject* slice_2_to_14;         // slice(2, 14): the BMP file header's fields
    PyObject* byte_values[256];  // the ints 0..255, for channel values
    PyObject* signal_check;      // what host::check_signals runs handlers with (null on CPython)
};

struct ProcessState {
    int64_t interpreter_id = -1;
    PyObject* module = nullptr;  // strong; set while exec runs and after it succeeds
    // The module as the shared helpers see it; its dictionary is borrowed
    // from `module`.
    ModuleHome home{module_name, traceback_file, python_source_name.data()};
    PyObject* builtins_dict = nullptr;

    // Built-ins cached by initialisation; later rebinding in `builtins` does
    // not change what the module uses.
    PyObject* builtin_staticmethod = nullptr;
    PyObject* builtin_open = nullptr;

    // The host services as imported, to recognise when a global still is
    // the host's own object.
    PyObject* host_zlib = nullptr;
    PyObject* host_zlib_decompress = nullptr;
    PyObject* host_zlib_decompressobj = nullptr;
    PyObject* host_zlib_compress = nullptr;
    PyObject* host_zlib_compressobj = nullptr;
    PyObject* host_bytesio_type = nullptr;
    PyObject* host_file_type = nullptr;  // io.BufferedReader
    PyObject* host_open = nullptr;       // io.open

    bool constants_ready = false;  // names, constants and the codecs' literals made
    Names names{};
    Constants constants{};
};

extern ProcessState state;

// Builds `state.names` and `state.constants`; initialisation does so once
// per process.
int init_constants();

// Drops the module and everything initialisation cached from the host, so
// that an import retried after a failed one starts from nothing stale. The
// names and constants are plain literals and stay.
void clear_process_state();

}  // namespace tessarin
