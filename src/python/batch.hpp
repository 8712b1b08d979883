// Batch calls: many rows converted and checked up front, then run through
// the engine without the interpreter lock, with Ctrl-C honoured between rows.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/engine_error.hpp"
#include "python/py.hpp"
#include "python/unlocked.hpp"

namespace arbolet::python {

// Rows of possibly different lengths, stored back to back; rows of a 2-D
// array all have its width, and take no per-row table (an array of 2^31
// empty rows must not need 16 GB before its first row is refused).
template <class T>
struct Rows {
    std::vector<T> values;
    std::vector<std::size_t> starts{0};
    std::optional<std::size_t> width;  // of every row, when they have one
    std::size_t count = 0;             // rows, when they have one width

    std::size_t size() const { return width ? count : starts.size() - 1; }
    std::span<const T> row(std::size_t i) const {
        if (width) return std::span<const T>(values).subspan(i * *width, *width);
        return std::span<const T>(values).subspan(starts[i], starts[i + 1] - starts[i]);
    }
};

// A 2-D argument `name` whose rows each convert as the single call's
// parameter `item` does. NumPy (or other buffer) arrays of float64/float32
// (integers for codes) in any layout are read directly; anything else is a
// sequence of sequences; a data frame, or anything else with to_numpy() or
// __array__(), is read through the array it gives. The values are copied, so the caller may release
// the interpreter lock afterwards. A row's failure is the single call's
// error with "row R: " in front.
bool to_real_rows(PyObject* o, const char* name, const char* item, Rows<float>& out);
bool to_code_rows(PyObject* o, const char* name, const char* item, Rows<std::int64_t>& out);
// A 1-D sequence of counts (timestamps), each converted as `item` is.
bool to_count_rows(PyObject* o, const char* name, const char* item, std::vector<std::uint64_t>& out);
// Rows, or where `single_value` also a flat sequence of numbers (one value
// per row).
bool to_observation_rows(PyObject* o, const char* name, const char* item, bool single_value, Rows<float>& out);
// A 1-D sequence of reals (scores), each converted as `item` is, in double precision.
bool to_real_column(PyObject* o, const char* name, const char* item, std::vector<double>& out);

// Raises the exception of `error` with "row R: " in front of its message.
PyObject* raise_row_error(std::size_t row, const EngineError& error);

// Number of rows: the same for every argument of one batch call, else
// ValueError.
bool same_row_counts(std::initializer_list<std::size_t> counts, const char* names);

// Runs `step(i)` for i in [0, n) without the interpreter lock, taking it back
// every few milliseconds to honour signals. `step` returns false to stop
// (having recorded why). Returns the number of rows stepped through, or -1
// with the signal handler's exception set: the rows before stay applied.
template <class Step>
std::ptrdiff_t run_rows(std::size_t n, Step&& step) {
    // Long enough that taking the lock back costs nothing measurable, short
    // enough that Ctrl-C feels immediate.
    constexpr auto kSlice = std::chrono::milliseconds(20);
    std::size_t i = 0;
    while (i < n) {
        bool stopped = false;
        {
            Unlocked scope;
            const auto until = std::chrono::steady_clock::now() + kSlice;
            do {
                if (!step(i)) {
                    stopped = true;
                    break;
                }
                ++i;
            } while (i < n && ((i & 15) != 0 || std::chrono::steady_clock::now() < until));
        }
        if (stopped) return static_cast<std::ptrdiff_t>(i);
        if (i < n && PyErr_CheckSignals() != 0) return -1;
    }
    return static_cast<std::ptrdiff_t>(i);
}

// A float64 result of length n: a NumPy array when NumPy can be imported,
// else an array.array('d').
PyObject* float_array(std::span<const double> values);

// The end of a batch run by run_rows: its Python error (done < 0), the row
// error of the row that failed, else the results (`results`) or None.
PyObject* finish_rows(std::ptrdiff_t done, const std::optional<EngineError>& failed, bool results,
                      std::span<const double> out);

}  // namespace arbolet::python
