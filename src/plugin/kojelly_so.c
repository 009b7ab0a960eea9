/* The plug-in's own translation unit. Everything it exports comes from the core library, which
 * is linked in whole; the linker version script keeps the exported set to the public entry
 * points. */
typedef int kojelly_so_unit;
