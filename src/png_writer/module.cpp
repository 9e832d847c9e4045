// Quorvel._png_writer: the filtering PNG encoder behind Quorvel.save_png
// and Quorvel.encode_png. Two functions: encode, and reduce, which gives
// the greyscale or palette rows of an image that they hold exactly; the
// encoder's limits as constants. The module keeps the host's zlib functions
// it calls in its state.
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "common/args.hpp"
#include "common/buffer.hpp"
#include "common/checked.hpp"
#include "common/host_compat.hpp"
#include "common/ref.hpp"
#include "kernels/png_forward_filter.hpp"
#include "kernels/png_reduce.hpp"
#include "png_writer/encoder.hpp"
#include "png_writer/workers.hpp"

namespace tessarin::png_writer {
namespace {

// A candidate's integer fields: the attribute each is read from, its bounds
// and where it goes. A sample_level of None is the candidate's level.
struct CandidateField {
    const char* name;
    const char* label;
    long long low;
    long long high;
    int Candidate::*member;
};
constexpr CandidateField candidate_fields[] = {
    {"level", "candidate.level", -1, 9, &Candidate::level},
    {"window_bits", "candidate.window_bits", 9, 15, &Candidate::window_bits},
    {"memory_level", "candidate.memory_level", 1, 9, &Candidate::memory_level},
    {"strategy", "candidate.strategy", 0, 4, &Candidate::strategy},
    {"sample_handicap", "candidate.sample_handicap", -500, 1000, &Candidate::sample_handicap},
    {"sample_level", "candidate.sample_level", -1, 9, &Candidate::sample_level},
    {"finalist_margin", "candidate.finalist_margin", 0, 1000, &Candidate::finalist_margin},
};

struct ModuleState {
    PyObject* compressobj;
    PyObject* crc32;
    PyObject* adler32;
    PyObject* start_new_thread;
    PyObject* allocate_lock;
    PyObject* compress_name;
    PyObject* flush_name;
    PyObject* acquire_name;
    PyObject* release_name;
    PyObject* signal_check;
    // The names of a candidate's fields, interned: row_filter, then those of
    // candidate_fields.
    PyObject* candidate_names[std::size(candidate_fields) + 1];
};

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// The PNG format's limit on width and height.
constexpr long long max_dimension = 0x7fffffff;

// An int argument in [low, high], or -1 with ValueError (TypeError for a
// non-integer) naming it.
int bounded_int(PyObject* value, const char* name, long long low, long long high, long long& out) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(value)->tp_name);
        return -1;
    }
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (out == -1 && PyErr_Occurred()) return -1;
    if (overflow || out < low || out > high) {
        PyErr_Format(PyExc_ValueError, "%s must be from %lld to %lld, not %S", name, low, high, value);
        return -1;
    }
    return 0;
}

// The items of a tuple or list of exactly `count` ints in [low, high] each.
int int_fields(PyObject* record, const char* name, Py_ssize_t count, const long long (*bounds)[2],
               long long* out) {
    Ref items = Ref::steal(PySequence_Fast(record, "a record must be a tuple or a list"));
    if (!items) return -1;
    if (PySequence_Fast_GET_SIZE(items.get()) != count) {
        PyErr_Format(PyExc_ValueError, "%s must have %zd fields, not %zd", name, count,
                     PySequence_Fast_GET_SIZE(items.get()));
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (bounded_int(PySequence_Fast_GET_ITEM(items.get(), i), name, bounds[i][0], bounds[i][1], out[i]) < 0) {
            return -1;
        }
    }
    return 0;
}

// The records of a sequence, each read by `read` into out[i]; at most
// `most` and, unless `may_be_empty`, at least one.
template <typename Record, typename Read>
int records(PyObject* sequence, const char* name, size_t most, bool may_be_empty, Record* out, size_t& count,
            Read read) {
    Ref items = Ref::steal(PySequence_Fast(sequence, "expected a tuple or a list"));
    if (!items) return -1;
    const auto size = static_cast<size_t>(PySequence_Fast_GET_SIZE(items.get()));
    if (size > most || (size == 0 && !may_be_empty)) {
        PyErr_Format(PyExc_ValueError, "%s must have %s%zu items, not %zu", name, may_be_empty ? "at most " : "1 to ",
                     most, size);
        return -1;
    }
    for (size_t i = 0; i < size; ++i) {
        if (read(PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)), out[i]) < 0) return -1;
    }
    count = size;
    return 0;
}

// A candidate's row filter: a filter type, 0 to 4, for every row, or five
// weights, 0 (left out) to 64, for the per-row choice (see cheapest_filter).
int read_row_filter(PyObject* value, png::RowFilter& filter) {
    if (PyLong_Check(value)) {
        long long type;
        if (bounded_int(value, "a filter type", 0, png::filter_paeth, type) < 0) return -1;
        filter = {static_cast<int>(type), {}};
        return 0;
    }
    static const long long bounds[5][2] = {{0, 64}, {0, 64}, {0, 64}, {0, 64}, {0, 64}};
    long long weights[5];
    if (int_fields(value, "the filter weights", 5, bounds, weights) < 0) return -1;
    filter.type = png::filter_adaptive;
    for (size_t t = 0; t < 5; ++t) filter.weights[t] = static_cast<uint32_t>(weights[t]);
    return 0;
}

// A scanline format record, (colour type, bit depth, palette): 8-bit RGB
// with an empty palette, or greyscale or palette indices at 1, 2, 4 or 8
// bits, a palette's entries (1 to 2^depth of them, 3 bytes each) in a
// buffer that `palette` holds.
int read_format(PyObject* record, size_t width, BufferView& palette, ScanlineFormat& format) {
    Ref fields = Ref::steal(PySequence_Fast(record, "the format must be a tuple or a list"));
    if (!fields) return -1;
    if (PySequence_Fast_GET_SIZE(fields.get()) != 3) {
        PyErr_SetString(PyExc_ValueError, "the format must have 3 fields");
        return -1;
    }
    long long colour_type, bit_depth;
    if (bounded_int(PySequence_Fast_GET_ITEM(fields.get(), 0), "the colour type", 0, png::color_palette,
                    colour_type) < 0 ||
        bounded_int(PySequence_Fast_GET_ITEM(fields.get(), 1), "the bit depth", 1, 8, bit_depth) < 0 ||
        palette.acquire(PySequence_Fast_GET_ITEM(fields.get(), 2)) < 0) {
        return -1;
    }
    const size_t palette_bytes = palette.bytes().size();
    const bool packed = bit_depth == 1 || bit_depth == 2 || bit_depth == 4 || bit_depth == 8;
    bool valid = false;
    if (colour_type == png::color_rgb) valid = bit_depth == 8 && palette_bytes == 0;
    if (colour_type == png::color_grey) valid = packed && palette_bytes == 0;
    if (colour_type == png::color_palette) {
        valid = packed && palette_bytes % 3 == 0 && palette_bytes >= 3 && palette_bytes / 3 <= size_t{1} << bit_depth;
    }
    if (!valid) {
        PyErr_SetString(PyExc_ValueError, "the format is not 8-bit RGB, greyscale or a palette at 1, 2, 4 or 8 bits");
        return -1;
    }
    const size_t channels = colour_type == png::color_rgb ? 3 : 1;
    const int bits = static_cast<int>(bit_depth * static_cast<long long>(channels));
    format = {static_cast<int>(colour_type), static_cast<int>(bit_depth), png::packed_row_bytes(width, bits),
              std::max<size_t>(1, static_cast<size_t>(bits) / 8), palette.bytes()};
    return 0;
}

// A candidate record (Quorvel._png.Candidate), read by its fields' names.
int read_candidate(const ModuleState& state, PyObject* record, Candidate& candidate) {
    Ref filter = Ref::steal(PyObject_GetAttr(record, state.candidate_names[0]));
    if (!filter || read_row_filter(filter.get(), candidate.filter) < 0) return -1;
    for (size_t i = 0; i < std::size(candidate_fields); ++i) {
        const CandidateField& field = candidate_fields[i];
        Ref value = Ref::steal(PyObject_GetAttr(record, state.candidate_names[i + 1]));
        if (!value) return -1;
        if (field.member == &Candidate::sample_level && value.get() == Py_None) {
            candidate.sample_level = candidate.level;
            continue;
        }
        long long number;
        if (bounded_int(value.get(), field.label, field.low, field.high, number) < 0) return -1;
        candidate.*field.member = static_cast<int>(number);
    }
    return 0;
}

constexpr EntryPoint encode_def{
    .name = "encode",
    .site = {"encode"},
    .count = 9,
    .params = {{"pixels"}, {"width"}, {"height"}, {"candidates"}, {"sample"}, {"finalists"}, {"segments"},
               {"threads"}, {"format"}},
};

// encode(pixels, width, height, candidates, sample, finalists, segments, threads, format)
//   -> (png_bytes, index of the candidate written, sample sizes, full sizes)
// By position or keyword. `candidates`: Candidate records (see
// read_candidate and Candidate). `sample`: (first row, end row) strips;
// see encode_png. `segments` and `threads`: see Threading. `format`: see
// read_format; `pixels` holds rows in that format.
PyObject* encode(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[9];
    if (bind(encode_def, args, nargs, kwnames, bound) < 0) return nullptr;
    long long width, height, finalists, segments, threads;
    if (bounded_int(bound[1], "width", 1, max_dimension, width) < 0 ||
        bounded_int(bound[2], "height", 1, max_dimension, height) < 0) {
        return nullptr;
    }

    ModuleState* state = state_of(module);
    Candidate candidates[max_candidates];
    size_t candidate_count = 0;
    const auto read = [state](PyObject* record, Candidate& candidate) {
        return read_candidate(*state, record, candidate);
    };
    if (records(bound[3], "candidates", max_candidates, false, candidates, candidate_count, read) < 0) {
        return nullptr;
    }

    Strip sample[max_sample_strips];
    size_t strip_count = 0;
    const auto read_strip = [height](PyObject* record, Strip& strip) {
        const long long bounds[2][2] = {{0, height - 1}, {1, height}};
        long long rows[2];
        if (int_fields(record, "a sample strip", 2, bounds, rows) < 0) return -1;
        if (rows[0] >= rows[1]) {
            PyErr_SetString(PyExc_ValueError, "a sample strip must end after it starts");
            return -1;
        }
        strip = {static_cast<size_t>(rows[0]), static_cast<size_t>(rows[1])};
        return 0;
    };
    if (records(bound[4], "sample", max_sample_strips, true, sample, strip_count, read_strip) < 0 ||
        bounded_int(bound[5], "finalists", 1, max_candidates, finalists) < 0 ||
        bounded_int(bound[6], "segments", 1, max_segments, segments) < 0 ||
        bounded_int(bound[7], "threads", 1, max_threads, threads) < 0) {
        return nullptr;
    }

    BufferView palette;
    ScanlineFormat format;
    if (read_format(bound[8], static_cast<size_t>(width), palette, format) < 0) return nullptr;

    BufferView pixels;
    if (pixels.acquire(bound[0]) < 0) return nullptr;
    size_t expected;
    if (!checked_mul(format.row_bytes, static_cast<size_t>(height), expected) || pixels.bytes().size() != expected) {
        PyErr_SetString(PyExc_ValueError, "Pixel data length does not match image dimensions");
        return nullptr;
    }
    if (format.colour_type == png::color_palette &&
        !png::indices_below(pixels.bytes(), static_cast<size_t>(width), format.bit_depth, format.palette.size() / 3)) {
        PyErr_SetString(PyExc_ValueError, "a palette index is past the palette's end");
        return nullptr;
    }

    Outcome outcome;
    const Host host{state->compressobj,
                    state->crc32,
                    state->adler32,
                    state->compress_name,
                    state->flush_name,
                    state->signal_check,
                    {state->start_new_thread, state->allocate_lock, state->acquire_name, state->release_name}};
    const Image image{pixels.bytes(), static_cast<size_t>(width), static_cast<size_t>(height), format};
    const Threading threading{static_cast<size_t>(segments), static_cast<size_t>(threads)};
    Ref png = encode_png(host, image, {candidates, candidate_count}, {sample, strip_count},
                         static_cast<size_t>(finalists), threading, outcome);
    if (!png) return nullptr;
    Ref sizes[2] = {Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(candidate_count))),
                    Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(candidate_count)))};
    const size_t* from[2] = {outcome.sample_sizes, outcome.full_sizes};
    for (size_t k = 0; k < 2; ++k) {
        if (!sizes[k]) return nullptr;
        for (size_t i = 0; i < candidate_count; ++i) {
            PyObject* size = PyLong_FromSize_t(from[k][i]);
            if (!size) return nullptr;
            PyTuple_SET_ITEM(sizes[k].get(), static_cast<Py_ssize_t>(i), size);
        }
    }
    return Py_BuildValue("(NnNN)", png.release(), static_cast<Py_ssize_t>(outcome.chosen), sizes[0].release(),
                         sizes[1].release());
}

// reduce(pixels, width, height) -> None or (colour type, bit depth, palette, rows)
// The greyscale or palette form of an 8-bit RGB image that holds it
// exactly, where one does (see png::reduced_format): its colour type, bit
// depth, PLTE entries (empty for greyscale) and rows packed as encode's
// `format` takes them. None where only RGB holds the image.
PyObject* reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "reduce() takes exactly 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    long long width, height;
    if (bounded_int(args[1], "width", 1, max_dimension, width) < 0 ||
        bounded_int(args[2], "height", 1, max_dimension, height) < 0) {
        return nullptr;
    }
    BufferView pixels;
    if (pixels.acquire(args[0]) < 0) return nullptr;
    size_t expected;
    if (!checked_mul(static_cast<size_t>(width), static_cast<size_t>(height), expected) ||
        !checked_mul<size_t>(expected, 3, expected) || pixels.bytes().size() != expected) {
        PyErr_SetString(PyExc_ValueError, "Pixel data length does not match image dimensions");
        return nullptr;
    }
    png::ColourSummary summary;
    Py_BEGIN_ALLOW_THREADS
    summary = png::summarise_colours(pixels.bytes());
    Py_END_ALLOW_THREADS
    const png::ReducedFormat format = png::reduced_format(summary);
    if (format.colour_type == png::color_rgb) Py_RETURN_NONE;

    const size_t entries = format.colour_type == png::color_palette ? summary.colour_count : 0;
    Ref palette = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(3 * entries)));
    if (!palette) return nullptr;
    auto* entry = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(palette.get()));
    for (size_t i = 0; i < entries; ++i, entry += 3) {
        const uint32_t colour = summary.colours[i];
        entry[0] = static_cast<uint8_t>(colour >> 16);
        entry[1] = static_cast<uint8_t>(colour >> 8);
        entry[2] = static_cast<uint8_t>(colour);
    }
    // Packed rows are at most as long as RGB ones, so their size fits.
    const size_t size =
        png::packed_row_bytes(static_cast<size_t>(width), format.bit_depth) * static_cast<size_t>(height);
    Ref rows = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!rows) return nullptr;
    // The pixels' buffer is held and the rows' object is this call's own.
    const std::span<uint8_t> out(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(rows.get())), size);
    Py_BEGIN_ALLOW_THREADS
    if (format.colour_type == png::color_grey) {
        png::pack_grey_rows(pixels.bytes(), static_cast<size_t>(width), format.bit_depth, out);
    } else {
        png::pack_palette_rows(pixels.bytes(), static_cast<size_t>(width), format.bit_depth,
                               {summary.colours.data(), entries}, out);
    }
    Py_END_ALLOW_THREADS
    return Py_BuildValue("(iiNN)", format.colour_type, format.bit_depth, palette.release(), rows.release());
}

int module_exec(PyObject* module) {
    ModuleState* state = state_of(module);
    Ref zlib = Ref::steal(PyImport_ImportModule("zlib"));
    if (!zlib) return -1;
    Ref thread = Ref::steal(PyImport_ImportModule("_thread"));
    if (!thread) return -1;
    state->compressobj = PyObject_GetAttrString(zlib.get(), "compressobj");
    state->crc32 = PyObject_GetAttrString(zlib.get(), "crc32");
    state->adler32 = PyObject_GetAttrString(zlib.get(), "adler32");
    state->start_new_thread = PyObject_GetAttrString(thread.get(), "start_new_thread");
    state->allocate_lock = PyObject_GetAttrString(thread.get(), "allocate_lock");
    state->compress_name = PyUnicode_InternFromString("compress");
    state->flush_name = PyUnicode_InternFromString("flush");
    state->acquire_name = PyUnicode_InternFromString("acquire");
    state->release_name = PyUnicode_InternFromString("release");
    if (host::make_signal_check("<Quorvel._png_writer>", &state->signal_check) < 0) return -1;
    state->candidate_names[0] = PyUnicode_InternFromString("row_filter");
    if (!state->candidate_names[0]) return -1;
    for (size_t i = 0; i < std::size(candidate_fields); ++i) {
        state->candidate_names[i + 1] = PyUnicode_InternFromString(candidate_fields[i].name);
        if (!state->candidate_names[i + 1]) return -1;
    }
    // The encoder's limits, which the package's plans keep within.
    if (PyModule_AddIntConstant(module, "MAX_THREADS", static_cast<long>(max_threads)) < 0 ||
        PyModule_AddIntConstant(module, "MAX_SEGMENTS", static_cast<long>(max_segments)) < 0 ||
        PyModule_AddIntConstant(module, "MAX_CANDIDATES", static_cast<long>(max_candidates)) < 0) {
        return -1;
    }
    if (!state->compressobj || !state->crc32 || !state->adler32 || !state->start_new_thread ||
        !state->allocate_lock || !state->compress_name || !state->flush_name || !state->acquire_name ||
        !state->release_name) {
        return -1;
    }
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = state_of(module);
    if (state) {
        Py_VISIT(state->compressobj);
        Py_VISIT(state->crc32);
        Py_VISIT(state->adler32);
        Py_VISIT(state->start_new_thread);
        Py_VISIT(state->allocate_lock);
        Py_VISIT(state->signal_check);
    }
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* state = state_of(module);
    if (state) {
        Py_CLEAR(state->compressobj);
        Py_CLEAR(state->crc32);
        Py_CLEAR(state->adler32);
        Py_CLEAR(state->start_new_thread);
        Py_CLEAR(state->allocate_lock);
        Py_CLEAR(state->compress_name);
        Py_CLEAR(state->flush_name);
        Py_CLEAR(state->acquire_name);
        Py_CLEAR(state->release_name);
        Py_CLEAR(state->signal_check);
        for (PyObject*& name : state->candidate_names) Py_CLEAR(name);
    }
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyMethodDef module_methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"reduce", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reduce)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_png_writer",
    "The filtering PNG encoder behind Quorvel.save_png and Quorvel.encode_png.",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace tessarin::png_writer

PyMODINIT_FUNC PyInit__png_writer() { return PyModuleDef_Init(&tessarin::png_writer::module_def); }
