#include "rcf/point_store.hpp"

namespace arbolet::rcf {

PointStore PointStore::create(std::uint64_t dim, std::uint64_t input_dim, std::uint64_t shingle_size,
                              bool internal_shingling, std::uint64_t rows) {
    PointStore ps;
    ps.dim = dim;
    ps.input_dim = input_dim;
    ps.shingle_size = shingle_size;
    ps.internal_shingling = internal_shingling;
    ps.store = Matrix<float>::zeros({rows, dim});
    ps.occupied.assign(rows, 0);
    ps.ref_count.assign(rows, 0);
    ps.capacity = rows;
    ps.shingle_buf.assign(dim, 0.0f);
    return ps;
}

}  // namespace arbolet::rcf
