#include <cblas.h>

// libdarknet calls its matrix product through the PLT, so this definition in the executable
// replaces the library's plain loops with OpenBLAS (several times faster, on every core).
// Same contract as darknet's: C = ALPHA * op(A) * op(B) + BETA * C, row-major, op = transpose
// when TA / TB is set.
extern "C" void gemm_cpu(int TA, int TB, int M, int N, int K, float ALPHA, float* A, int lda, float* B, int ldb,
                         float BETA, float* C, int ldc)
{
    cblas_sgemm(CblasRowMajor, TA ? CblasTrans : CblasNoTrans, TB ? CblasTrans : CblasNoTrans, M, N, K, ALPHA, A,
                lda, B, ldb, BETA, C, ldc);
}

#include <cstdlib>

namespace {

// OpenBLAS's idle threads spin for about 2^28 cycles before they sleep, so between two
// products they hold a core that the kernels' own threads want for the passes in between
// (on darknet19 with 2 cores, 15 % of the iteration). The shortest wait makes them sleep at
// once. OpenBLAS reads the setting while the libraries are initialised, before main, so it is
// set from the executable's pre-initialisation array, which runs first; a value in the
// environment stays as it is.
void shortOpenBlasSpin(int, char**, char**)
{
    setenv("OPENBLAS_THREAD_TIMEOUT", "4", 0);
}

__attribute__((section(".preinit_array"), used)) void (*const kShortOpenBlasSpin)(int, char**, char**) =
    shortOpenBlasSpin;

} // namespace
