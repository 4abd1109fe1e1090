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
