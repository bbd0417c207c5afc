ov_add_bench(i18n_bench WINDOWS SOURCES i18n_bench.cc LIBS ov_i18n)
