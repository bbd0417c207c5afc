ov_add_bench(crypto_bench WINDOWS SOURCES crypto_bench.cc LIBS ov_crypto)
ov_add_bench(codec_bench WINDOWS SOURCES codec_bench.cc LIBS ov_base)
