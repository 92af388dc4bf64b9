/* Included ahead of every source of the musl build (cmake/mipsel-musl.cmake).
 * libstdc++'s headers were configured for glibc and test its version with
 * __GLIBC_PREREQ, which musl leaves undefined, so the preprocessor stops.
 * Answering "no" picks libstdc++'s oldest-glibc paths, which are plain C
 * library calls that musl provides too. */
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
