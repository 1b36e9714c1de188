// utf_avx512.inl - UTF kernels for AVX-512. Included by ConvertUTF.cpp.
//
// None yet: the AVX-512 level runs the AVX2 and SSE4.2 kernels (see the picker in
// ConvertUTF.cpp).
