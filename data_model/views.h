#pragma once

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace kelp::data_wrappers::v2 {

// A one-dimensional strided view of memory that somebody else keeps alive.
// Element i is at data + i * stride (stride counted in elements).
template <typename T>
struct VecView {
    T* data = nullptr;
    std::size_t size = 0;
    std::int64_t stride = 1;

    // Throws std::runtime_error for a zero stride or a null pointer with size > 0.
    void view(T* data_, std::size_t size_, long stride_) {
        if (stride_ == 0) {
            throw std::runtime_error("Stride cannot be zero.");
        }
        if (data_ == nullptr && size_ > 0) {
            throw std::runtime_error("Cannot view nullptr with size > 0");
        }
        data = data_;
        size = size_;
        stride = stride_;
    }

    // REQUIRES: i < size.
    T& operator[](std::size_t i) const { return data[static_cast<std::int64_t>(i) * stride]; }

    // Bounds-checked element access: std::out_of_range when i >= size.
    T& at(std::size_t i) const {
        if (i >= size) {
            throw std::out_of_range("VecView index " + std::to_string(i) + " out of range for size " +
                                    std::to_string(size) + ".");
        }
        return (*this)[i];
    }
};

// A two-dimensional strided view of memory that somebody else keeps alive.
// Element (r, c) is at data + r * row_stride + c * col_stride. A dense
// row-major n x m matrix has row_stride m and col_stride 1.
template <typename T>
struct MatView {
    T* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::int64_t row_stride = 1;
    std::int64_t col_stride = 1;

    // Throws std::runtime_error "Strides (r,c) cannot be zero." for a zero
    // stride; nothing else is checked.
    void view(T* data_, std::size_t rows_, std::size_t cols_, std::size_t row_stride_,
              std::size_t col_stride_) {
        if (row_stride_ == 0 || col_stride_ == 0) {
            throw std::runtime_error("Strides (" + std::to_string(row_stride_) + "," +
                                     std::to_string(col_stride_) + ") cannot be zero.");
        }
        data = data_;
        rows = rows_;
        cols = cols_;
        row_stride = static_cast<std::int64_t>(row_stride_);
        col_stride = static_cast<std::int64_t>(col_stride_);
    }

    // REQUIRES: r < rows, c < cols.
    T& operator()(std::size_t r, std::size_t c) const {
        return data[static_cast<std::int64_t>(r) * row_stride +
                    static_cast<std::int64_t>(c) * col_stride];
    }

    // The n_rows x n_cols view starting at (row0, col0) taking every
    // row_step-th row and col_step-th column. Throws std::out_of_range when
    // the result would reach memory outside this view's address range, or
    // when either range cannot even be expressed as addresses.
    MatView submatrix(std::size_t row0, std::size_t col0, std::size_t n_rows, std::size_t n_cols,
                      std::size_t row_step, std::size_t col_step) const {
        // Addresses are computed as integers: the candidate start may lie
        // outside the viewed object, which pointer arithmetic may not express.
        // Every step is checked, so absurd positions or shapes are refused
        // instead of wrapping around into a range that looks valid.
        std::int64_t rs = 0, cs = 0, r0 = 0, c0 = 0;
        std::int64_t new_row_stride = 0, new_col_stride = 0, row_offset = 0, col_offset = 0;
        std::int64_t offset = 0, start = 0;
        const bool expressible =
            to_signed(row_step, rs) && to_signed(col_step, cs) && to_signed(row0, r0) &&
            to_signed(col0, c0) && multiply(rs, row_stride, new_row_stride) &&
            multiply(cs, col_stride, new_col_stride) && multiply(r0, row_stride, row_offset) &&
            multiply(c0, col_stride, col_offset) &&
            add(row_offset, col_offset, offset) && multiply(offset, element_bytes(), offset) &&
            add(address(data), offset, start);
        if (!expressible) {
            throw_unaddressable();
        }
        MatView result;
        result.view(reinterpret_cast<T*>(static_cast<std::intptr_t>(start)), n_rows, n_cols,
                    static_cast<std::size_t>(new_row_stride),
                    static_cast<std::size_t>(new_col_stride));
        result.row_stride = new_row_stride;
        result.col_stride = new_col_stride;

        std::int64_t parent_low, parent_high, sub_low, sub_high;
        if (!bounds(parent_low, parent_high) || !result.bounds(sub_low, sub_high)) {
            throw_unaddressable();
        }
        if (sub_low < parent_low || sub_high > parent_high) {
            std::ostringstream text;
            text << "MatView submatrix cannot access wider memory than parent matrix: full range is "
                 << as_pointer(parent_low) << ".." << as_pointer(parent_high) << ", sub-range is "
                 << as_pointer(sub_low) << ".." << as_pointer(sub_high) << ".";
            throw std::out_of_range(text.str());
        }
        return result;
    }

    // Copies every element (r, c) to dest(r, c). Throws std::runtime_error
    // "MatView sizes don't match." (writing nothing) for another shape.
    void copy_to(MatView<std::remove_const_t<T>> dest) const {
        if (dest.rows != rows || dest.cols != cols) {
            throw std::runtime_error("MatView sizes don't match.");
        }
        if (dest.row_stride == 1) {
            for (std::size_t c = 0; c < cols; ++c) {
                for (std::size_t r = 0; r < rows; ++r) {
                    dest(r, c) = (*this)(r, c);
                }
            }
        } else {
            for (std::size_t r = 0; r < rows; ++r) {
                for (std::size_t c = 0; c < cols; ++c) {
                    dest(r, c) = (*this)(r, c);
                }
            }
        }
    }

private:
    static std::int64_t address(const T* p) {
        return static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(p));
    }
    static std::int64_t element_bytes() { return static_cast<std::int64_t>(sizeof(T)); }
    static const void* as_pointer(std::int64_t a) {
        return reinterpret_cast<const void*>(static_cast<std::intptr_t>(a));
    }
    // A size as a signed count; false when it does not fit.
    static bool to_signed(std::size_t n, std::int64_t& out) {
        if (n > static_cast<std::size_t>(INT64_MAX)) {
            return false;
        }
        out = static_cast<std::int64_t>(n);
        return true;
    }
    // a * b and a + b; false when the result does not fit in 64 bits.
    static bool multiply(std::int64_t a, std::int64_t b, std::int64_t& out) {
        return !__builtin_mul_overflow(a, b, &out);
    }
    static bool add(std::int64_t a, std::int64_t b, std::int64_t& out) {
        return !__builtin_add_overflow(a, b, &out);
    }
    [[noreturn]] static void throw_unaddressable() {
        throw std::out_of_range(
            "MatView submatrix cannot access wider memory than parent matrix: a range does not "
            "fit in the address space.");
    }

    // Lowest and highest element address this view can reach; false when
    // they cannot be expressed in 64 bits.
    bool bounds(std::int64_t& low, std::int64_t& high) const {
        const std::int64_t base = address(data);
        std::int64_t n_rows = 0, n_cols = 0, last_row = 0, last_col = 0;
        if (!to_signed(rows, n_rows) || !to_signed(cols, n_cols) ||
            !multiply(row_stride, n_rows - 1, last_row) ||
            !multiply(last_row, element_bytes(), last_row) || !add(base, last_row, last_row) ||
            !multiply(col_stride, n_cols - 1, last_col) ||
            !multiply(last_col, element_bytes(), last_col)) {
            return false;
        }
        return add(row_stride > 0 ? base : last_row, col_stride > 0 ? 0 : last_col, low) &&
               add(row_stride > 0 ? last_row : base, col_stride > 0 ? last_col : 0, high);
    }
};

}  // namespace kelp::data_wrappers::v2
