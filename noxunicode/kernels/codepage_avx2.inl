// codepage_avx2.inl - code-page kernels for AVX2. Included by NoxUCharConverter.cpp.
//
// None yet: the AVX2 level runs the SSE2 kernels (see the picker in codepage_runs.inl). A
// kernel set for this level derives from NoxSse2Kernels and replaces what it does better.
