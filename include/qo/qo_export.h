/* Symbol visibility for libqo_core: everything is hidden unless marked QO_API. */
#ifndef QO_EXPORT_H
#define QO_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define QO_API __attribute__((visibility("default")))
#else
#define QO_API
#endif

#endif /* QO_EXPORT_H */
