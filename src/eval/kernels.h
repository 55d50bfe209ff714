// The evaluation's vector kernels: first-layer row updates and the output dot product, in plain
// C++, AVX2 (the baseline the program is built for) and AVX-512. All give identical results.
#pragma once
#include <cstdint>

enum class EvalKernel : uint8_t {
    Scalar,      // plain loops: the reference the tests compare against
    Avx2,
    Avx512,      // AVX-512 F and BW
    Avx512Vnni,  // the same with the VNNI byte dot product in the output layer
};

// The kernels evaluate uses. Set once before main from the processor (best_eval_kernel); only the
// tests and tools change it afterwards.
extern EvalKernel eval_kernel;

// The widest kernel this processor runs, Avx2 when the environment variable TARNVIK_NO_AVX512 is
// set to anything but "0" or an empty value. Found once (cpuid) and remembered.
EvalKernel best_eval_kernel();
// Whether this processor (and operating system) can run a kernel at all, ignoring the variable.
bool eval_kernel_supported(EvalKernel k);
const char* eval_kernel_name(EvalKernel k);

// dst = src + the added rows - the removed rows of a FT_NEURONS-wide table (16-bit wrap-around).
// Row indices are rows of `weights`. src and dst may be the same. fetched: the caller has already
// requested the whole of every row, so the kernel does not request the next chunks itself.
void apply_rows_avx512(const int16_t* weights, const int16_t* src, int16_t* dst, const int* add, int na,
                       const int* sub, int ns, bool fetched = false);
// Sum over n values (a multiple of 64) of clamp(v >> 1, 0, 127) x w.
int output_dot_avx512(const int16_t* v, const int8_t* w, int n);
int output_dot_avx512_vnni(const int16_t* v, const int8_t* w, int n);
