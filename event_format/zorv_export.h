// Symbol visibility for the zorv-daq libraries. Both libraries are built with
// hidden visibility by default; only declarations marked ZORV_EXPORT form the
// public interface.
#ifndef ZORV_EXPORT_H
#define ZORV_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define ZORV_EXPORT __attribute__((visibility("default")))
#else
#define ZORV_EXPORT
#endif

#endif
