/*
 * Driver catalogue of the OrvikS platform driver library: which drivers the library has,
 * which kinds of logical device each makes, and which driver arguments each reads, how and
 * with which rules. A host or tool asks the library it loads (zl_driver_catalogue) instead
 * of keeping a copy, so that a board checker applies exactly the rules the library applies.
 *
 * How it is built: every driver declares one zl_driver_entry next to its register map (a
 * constexpr static member `catalogue` of the driver class, its arguments in a constexpr
 * array `catalogueArgs`, in the order the driver reads them). The driver registry lists
 * (entry, factory) pairs; the registry's name -> factory map and this catalogue are both
 * made from that list. The driver reads its arguments through Drivers::ArgReader
 * (Drivers/Catalogue.h), which takes keys, conversions, ranges and failure texts from the
 * same declaration. Drivers whose GPIOs are the default register GPIO carry ZL_DRIVER_REG_GPIO
 * and get the register GPIO's arguments ("register", "bitpos") appended in the catalogue.
 *
 * Numbers: ZL_READ_DECIMAL is std::stoi on the text (leading white space and a sign
 * accepted, reading stops at the first other character; no digit or a value outside int is
 * a refusal). ZL_READ_DECIMAL_U8 keeps the low 8 bits of that value before the range is
 * checked ("257" is 1). ZL_READ_FLAG is true exactly when the text is "true". ZL_READ_LABEL
 * is the label of a topology device whose driver makes GPIOs (register bits are read there).
 * ZL_READ_GPIO_MEMBER is a text of the multi-device's "multiDeviceArgs", not of its
 * "driverArgs": the device text of a GPIO the driver adds as its member; the '#' of its key
 * stands for the number read from the argument `whenKey`. A missing member, or one whose add
 * fails, leaves the driver without that GPIO; the add goes on.
 *
 * Usable from C and C++. Everything the catalogue points to lives as long as the library.
 */
#ifndef ZL_CATALOGUE_H
#define ZL_CATALOGUE_H

#ifdef __cplusplus
extern "C" {
#endif

#define ZL_CATALOGUE_VERSION 2

/* Kinds of logical device a driver makes (bit numbers of zl_driver_entry.kinds). The host
 * kinds come first in the order of their add functions; ZL_KIND_MUX is the bus multiplexer a
 * topology mux node asks its device for. */
enum {
    ZL_KIND_SYSTEM = 0,
    ZL_KIND_TEMP_SENSOR = 1,
    ZL_KIND_FAN = 2,
    ZL_KIND_PSU = 3,
    ZL_KIND_SLOT = 4,
    ZL_KIND_LED = 5,
    ZL_KIND_XCVR = 6,
    ZL_KIND_GPIO = 7,
    ZL_KIND_SMBUS = 8,
    ZL_KIND_MUX = 9,
    ZL_KIND_COUNT = 10
};
#define ZL_KIND_BIT(kind) (1u << (kind))

/* The call that reads an argument: the driver's factory (once per device, the first time its
 * "did" is added) or the new operation of one kind (each add of that kind): ZL_CALL_NEW_FAN
 * is newFan, ZL_CALL_NEW_XCVR newSfpXcvr/newQsfpXcvr, ZL_CALL_NEW_SMBUS newSmbusProxy. */
enum {
    ZL_CALL_CREATE = 0xFF,
    ZL_CALL_NEW_TEMP_SENSOR = ZL_KIND_TEMP_SENSOR,
    ZL_CALL_NEW_FAN = ZL_KIND_FAN,
    ZL_CALL_NEW_PSU = ZL_KIND_PSU,
    ZL_CALL_NEW_SLOT = ZL_KIND_SLOT,
    ZL_CALL_NEW_LED = ZL_KIND_LED,
    ZL_CALL_NEW_XCVR = ZL_KIND_XCVR,
    ZL_CALL_NEW_GPIO = ZL_KIND_GPIO,
    ZL_CALL_NEW_SMBUS = ZL_KIND_SMBUS,
    ZL_CALL_NEW_MUX = ZL_KIND_MUX
};

/* How the text of an argument is read. */
enum {
    ZL_READ_TEXT = 0,       /* any text; only its presence may matter */
    ZL_READ_DECIMAL = 1,    /* std::stoi */
    ZL_READ_DECIMAL_U8 = 2, /* std::stoi, then the low 8 bits */
    ZL_READ_FLAG = 3,       /* true exactly when "true" */
    ZL_READ_LABEL = 4,      /* label of a topology device that makes GPIOs */
    ZL_READ_GPIO_MEMBER = 5 /* GPIO device text in "multiDeviceArgs" (see above) */
};

/* What happens when a required argument is missing (every case refuses the add). */
enum {
    ZL_MISSING_RULE = 0,   /* `missingTrace` (when set) traced, then the consistency rule `missingRule` */
    ZL_MISSING_NULL = 1,   /* `missingTrace` traced at level 0; the call makes nothing */
    ZL_MISSING_LOOKUP = 2  /* a map lookup error, "map::at" */
};

typedef struct zl_driver_arg {
    const char* key;         /* argument name; a '#' in it stands for 1, 2, 3... (a numbered series) */
    unsigned char call;      /* ZL_CALL_* */
    unsigned char read;      /* ZL_READ_* */
    unsigned char required;  /* 1: must be present (when `whenKey` applies) */
    unsigned char missing;   /* ZL_MISSING_*, for a required argument */
    const char* whenKey;     /* non-null: read only when this argument is present ('#': same number) */
    const char* whenValue;   /* non-null: ... and its text is exactly this */
    int min, max;            /* numbers: allowed range after the conversion; min > max: any value */
    const char* missingTrace;/* traced at level 0 before the refusal of a missing argument, or null */
    const char* missingRule; /* rule text of a missing argument (ZL_MISSING_RULE) */
    const char* rangeRule;   /* rule text of a number out of range; null: the driver traces and
                                refuses it in its own words (the add makes nothing) */
    const char* choices;     /* texts: non-null, the only texts accepted, separated by '|'
                                ("sfp|qsfp"); any other text refuses the add */
} zl_driver_arg;

/* zl_driver_entry.flags */
#define ZL_DRIVER_REG_GPIO 1u   /* its GPIOs are register GPIOs of the device ("register", "bitpos") */
#define ZL_DRIVER_MULTI 2u      /* a container of other devices ("isMultiDevice": true) */

typedef struct zl_driver_entry {
    const char* name;            /* the "driver" text that selects it */
    unsigned kinds;              /* ZL_KIND_BIT of every kind it makes */
    unsigned flags;              /* ZL_DRIVER_* */
    const zl_driver_arg* args;   /* in the order the library reads them, factory first */
    unsigned argCount;
} zl_driver_entry;

typedef struct zl_catalogue {
    unsigned version;                /* ZL_CATALOGUE_VERSION */
    const zl_driver_entry* drivers;  /* ascending by name */
    unsigned driverCount;
} zl_catalogue;

/* The library's driver catalogue; never null. */
const zl_catalogue* zl_driver_catalogue(void);
typedef const zl_catalogue* (*zl_driver_catalogue_fn)(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZL_CATALOGUE_H */
