/* The mitab C interface for writing MapInfo TAB tables (library version
 * 1.7.1, reported as 1007001), implemented on GDAL/OGR's "MapInfo File"
 * driver. Programs load the library at run time and resolve these entry
 * points by name; all of them use the C calling convention.
 *
 * Only writing is provided: create a table, declare its fields, then for
 * every record create a feature, set its fields, points and styles, write it
 * and destroy it; close the table. */
#ifndef MITAB_CAPI_H_INCLUDED
#define MITAB_CAPI_H_INCLUDED

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define MITAB_EXPORT __attribute__((visibility("default")))
#else
#define MITAB_EXPORT
#endif

typedef void* mitab_handle;
typedef void* mitab_feature;

/* feature types */
#define TABFC_NoGeom 0
#define TABFC_Point 1
#define TABFC_FontPoint 2
#define TABFC_CustomPoint 3
#define TABFC_Text 4
#define TABFC_Polyline 5
#define TABFC_Arc 6
#define TABFC_Region 7
#define TABFC_Rectangle 8
#define TABFC_Ellipse 9
#define TABFC_MultiPoint 10

/* field types */
#define TABFT_Char 1
#define TABFT_Integer 2
#define TABFT_SmallInt 3
#define TABFT_Decimal 4
#define TABFT_Float 5
#define TABFT_Date 6
#define TABFT_Logical 7
#define TABFT_Time 8
#define TABFT_DateTime 9

/* 1007001 for 1.7.1 */
MITAB_EXPORT int mitab_c_getlibversion(void);

/* Text of the last failure of this thread ("" when none). */
MITAB_EXPORT const char* mitab_c_getlasterrormsg(void);
MITAB_EXPORT int mitab_c_getlasterrorno(void);

/* A new table: filename ends in .tab, mif_or_tab must be "tab", the
 * projection a MapInfo "CoordSys ..." clause. When north, south, east and
 * west are all 0 the coordinate system's default bounds apply. Returns 0 on
 * failure (nothing is left on disk then). */
MITAB_EXPORT mitab_handle mitab_c_create(const char* filename, const char* mif_or_tab,
                                         const char* mif_projectiondef, double north,
                                         double south, double east, double west);

/* MapInfo charset name of the table's text ("WindowsLatin1",
 * "WindowsCyrillic", ...). Field names and values are handed over in that
 * code page and stored unchanged. Returns 1, or 0 for an unknown handle. */
MITAB_EXPORT int mitab_c_set_charset(mitab_handle handle, const char* charset);

/* 1 when tables can be written in this MapInfo charset, 0 when not. The
 * 8-bit charsets always can; "UTF-8" only when GDAL's MapInfo driver knows
 * that charset, so that what the table declares is what readers take; never
 * "UTF-16", whose text cannot be handed over as C strings. */
MITAB_EXPORT int mitab_c_charset_supported(const char* charset);

/* Appends a field; returns its index (from 0) or -1. indexed and unique are
 * accepted and ignored. */
MITAB_EXPORT int mitab_c_add_field(mitab_handle handle, const char* field_name, int field_type,
                                   int width, int precision, int indexed, int unique);

MITAB_EXPORT mitab_feature mitab_c_create_feature(mitab_handle handle, int feature_type);
MITAB_EXPORT void mitab_c_set_field(mitab_feature feature, int field_index, const char* value);

/* Points of part `part` (from 0): a line part, a region ring, or the
 * position of a point feature. A part index at or beyond the current count
 * (or negative) appends. A line part of one point is stored as a line from
 * that point to itself. */
MITAB_EXPORT void mitab_c_set_points(mitab_feature feature, int part, int vertex_count, double* x,
                                     double* y);

/* Colours are red * 65536 + green * 256 + blue. Pen widths 1 to 7 are pixels,
 * widths above 10 are tenths of a point plus 10. */
MITAB_EXPORT void mitab_c_set_pen(mitab_feature feature, int width, int pattern, int color);
MITAB_EXPORT void mitab_c_set_brush(mitab_feature feature, int fg_color, int bg_color, int pattern,
                                    int transparent);
MITAB_EXPORT void mitab_c_set_symbol(mitab_feature feature, int symbol_no, int symbol_size,
                                     int symbol_color);

/* Returns 1 when the feature was written, 0 otherwise. */
MITAB_EXPORT int mitab_c_write_feature(mitab_handle handle, mitab_feature feature);
MITAB_EXPORT void mitab_c_destroy_feature(mitab_feature feature);

/* Completes the files and releases the table. Afterwards
 * mitab_c_getlasterrorno is 0 unless the files could not be completed. */
MITAB_EXPORT void mitab_c_close(mitab_handle handle);

#ifdef __cplusplus
}
#endif

#endif /* MITAB_CAPI_H_INCLUDED */
