// Reading the matrix form {"v":1,"dim":[…],"data":[…]} (or its array form
// [1,[…],[…]]) into a contiguous row-major Matrix.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/debug_text.hpp"
#include "common/internal_failure.hpp"
#include "common/matrix.hpp"
#include "persist/json_reader.hpp"

namespace arbolet::persist::json {

template <std::size_t Axes, class T, class ReadElement>
void read_matrix(Reader& r, Matrix<T>& m, ReadElement&& read_element) {
    static_assert(Axes >= 1 && Axes <= 3);
    static constexpr const char* kExpecting = "ndarray representation";
    static constexpr const char* kDimExpecting =
        Axes == 1 ? "an array of length 1" : Axes == 2 ? "an array of length 2" : "an array of length 3";

    std::array<std::uint64_t, Axes> dims{};
    bool have_v = false, have_dim = false, have_data = false;
    m.data.clear();

    auto read_version = [&] {
        const unsigned v = r.read_u8();
        if (v != 1) throw Unpositioned{"unknown array version: " + std::to_string(v)};
        have_v = true;
    };
    auto read_dim = [&] {
        r.read_fixed(Axes, kDimExpecting, [&](std::size_t i) { dims[i] = r.read_unsigned("usize"); });
        have_dim = true;
    };
    auto read_data = [&] {
        m.data.clear();
        if (have_dim) {
            // Every element takes at least two bytes of text, which bounds
            // what a hostile "dim" can make us reserve.
            std::uint64_t n = 1;
            for (std::uint64_t d : dims)
                if (!checked_mul(n, d, n)) n = UINT64_MAX;
            const std::uint64_t bound = r.remaining() / 2 + 1;
            m.data.reserve(static_cast<std::size_t>(n < bound ? n : bound));
        }
        r.read_seq("a sequence", [&] { m.data.push_back(read_element()); });
        have_data = true;
    };
    auto check_size = [&] {
        std::uint64_t n = 1;
        bool fits = true;
        for (std::uint64_t d : dims)
            if (!checked_mul(n, d, n)) fits = false;
        if (!fits || n != m.data.size()) throw Unpositioned{"data and dimension must match in size"};
    };

    const int c = r.open_container(kExpecting);
    if (c == '[') {
        try {
            bool first = true;
            if (!r.has_next(first)) throw Reader::invalid_length(0, kExpecting);
            read_version();
            if (!r.has_next(first)) throw Reader::invalid_length(1, kExpecting);
            read_dim();
            if (!r.has_next(first)) throw Reader::invalid_length(2, kExpecting);
            read_data();
            check_size();
        } catch (Unpositioned& e) {
            throw r.fixed_in_array(e);
        }
        r.end_array();
    } else {
        try {
            bool first = true;
            while (r.next_key(first)) {
                const std::string_view key = r.key();
                if (key == "v") {
                    r.colon();
                    read_version();
                } else if (key == "dim") {
                    r.colon();
                    read_dim();
                } else if (key == "data") {
                    r.colon();
                    read_data();
                } else {
                    throw Unpositioned{"unknown field `" + bounded_text(key) + "`, expected one of `v`, `dim`, `data`"};
                }
            }
            if (!have_v) throw Unpositioned{"missing field `v`"};
            if (!have_data) throw Unpositioned{"missing field `data`"};
            if (!have_dim) throw Unpositioned{"missing field `dim`"};
            check_size();
        } catch (Unpositioned& e) {
            throw r.fixed_in_object(e);
        }
        r.end_object();
    }
    m.dim.assign(dims.begin(), dims.end());
}

}  // namespace arbolet::persist::json
