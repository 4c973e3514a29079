/* The effect-library interface: what a shared object exports so that Dendra offers its effects
 * as tree nodes. Plain C; a third party compiles against this header alone.
 *
 * A library exports, with C linkage and exactly these names:
 *
 *   GetFxList      lists the library's effects and names the library (required);
 *   Constructor    makes the instance data of one effect node (required for its nodes);
 *   Destructor, DrawBM, Display, GetFxTypeName, GetInfo, Solve, Copy, Serialize, Params,
 *   ResetCounters, GetSpecialName, Special
 *                  the node operations, each optional: a missing one does nothing (or gives 0).
 *
 * Dendra loads a library only from a path the user configured (one of six library slots of the
 * settings, or --library on dendra-cli's command line), never from a name found in a document.
 * Everything is called on the program's user-interface thread, one call at a time.
 *
 * GetFxList(list, name) receives a zeroed buffer of DENDRA_FX_LIST_SIZE characters and one of
 * DENDRA_FX_NAME_SIZE. It writes into `list` its effects as pairs of tokens, type name then
 * family, each closed by "|" ("Echo|Effects|Drone|Effects|"), and into `name` the library's
 * name, which must not be empty. Dendra reads at most the buffers' sizes (the last character is
 * taken as the terminator whatever the library wrote there). Families that are not Dendra's own
 * appear after them in the type choice.
 *
 * Constructor(&data, typeName, &branches, &start, &duration, libraryName) is called when a node
 * of the effect `typeName` is made (chosen by the user, copied, or read from a tree file). It
 * sets `data` to the effect's instance data (owned by the library until Destructor(&data)) and
 * `branches` to the number of branches the effect has: 0, 1 or 2. Any other count refuses the
 * effect. `start` and `duration` point at the node's window (milliseconds, start relative to
 * the parent's window); the constructor may set them. The pointers stay valid for that call
 * only.
 *
 * Text-returning operations (GetFxTypeName, GetInfo, GetSpecialName) receive a zeroed buffer of
 * DENDRA_FX_TEXT_SIZE characters; Dendra reads at most that many, terminated as above.
 *
 * Solve(data, list) is called when the node's window holds the list's current time (or in
 * fixed-step solving); the list's events are what the effect yields. An effect with branches
 * solves them into the list through list->api->solve_branch. Times are milliseconds, absolute.
 *
 * Serialize(data, archive): storing (archive->api->is_storing != 0) writes the effect's own
 * bytes; loading reads them back. The bytes are kept in the tree file with the node, with the
 * library's and the effect's names, so a file re-opens even where the library is missing (the
 * node then yields nothing and is saved again unchanged). Reading past the stored bytes fails
 * the read: the node is then kept as it was read.
 *
 * Display(data, window) returns 1 when Dendra shall show the node's event graph, any other
 * value for the sampled graph (one sample every 250 ms). The window handle is opaque (may be
 * null when there is no window). DrawBM(data, dc, x, y, size) draws the node's icon through the
 * drawing functions of `dc`.
 */
#ifndef DENDRA_EFFECT_H
#define DENDRA_EFFECT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DENDRA_FX_LIST_SIZE 500
#define DENDRA_FX_NAME_SIZE 30
#define DENDRA_FX_TEXT_SIZE 1024

/* Event kinds in a DendraEvent. */
#define DENDRA_EVENT_MIDI 0  /* status, data1..data3, duration */
#define DENDRA_EVENT_WAVE 1  /* read only: a sound to start */
#define DENDRA_EVENT_VALUE 2 /* a number: value */

typedef struct DendraEvent {
    int32_t kind;
    uint32_t time;     /* milliseconds, absolute */
    uint32_t duration; /* MIDI: milliseconds until the note ends */
    uint8_t status;    /* MIDI status byte (0x90 note on, 0xB0 controller, ...) */
    uint8_t data1;
    uint8_t data2;
    uint8_t data3;
    float value; /* numbers */
} DendraEvent;

typedef struct DendraEventList DendraEventList;
typedef struct DendraArchive DendraArchive;
typedef struct DendraDC DendraDC;
/* The program's main window: opaque. */
typedef struct DendraWindow DendraWindow;

/* The event list a Solve works on. Indices count from 0 in time order. */
typedef struct DendraEventListApi {
    uint32_t (*now)(const DendraEventList* list);  /* the time being solved */
    uint32_t (*next)(const DendraEventList* list); /* the earliest time wanted again */
    /* Asks to be solved again at `time` (lowers the list's next time to it). */
    void (*lower_next)(DendraEventList* list, uint32_t time);
    /* The absolute start of the node's window. */
    uint32_t (*window_start)(const DendraEventList* list);
    /* Solves branch 1 (left) or 2 (right) into the list, replacing what it held; 0 when the
     * node has no such branch (the list is then emptied). */
    int32_t (*solve_branch)(DendraEventList* list, int32_t which);
    void (*clear)(DendraEventList* list);
    int32_t (*count)(const DendraEventList* list);
    /* 0 when index is out of range. */
    int32_t (*get)(const DendraEventList* list, int32_t index, DendraEvent* out);
    /* Changes the event at index (a MIDI event stays MIDI, a number a number, a sound is left
     * alone); a changed time moves it into place. 0 when index is out of range. */
    int32_t (*set)(DendraEventList* list, int32_t index, const DendraEvent* event);
    /* Adds a MIDI event or a number at its time; 0 for any other kind. */
    int32_t (*add)(DendraEventList* list, const DendraEvent* event);
    /* Removes the event at index; 0 when index is out of range. */
    int32_t (*remove)(DendraEventList* list, int32_t index);
} DendraEventListApi;

struct DendraEventList {
    const DendraEventListApi* api;
};

/* The archive a Serialize works on: little-endian bytes of the effect's own. */
typedef struct DendraArchiveApi {
    int32_t (*is_storing)(const DendraArchive* ar);
    void (*write)(DendraArchive* ar, const void* bytes, uint32_t count);
    /* Reads count bytes; 0 (and the archive failed) when fewer remain. */
    int32_t (*read)(DendraArchive* ar, void* bytes, uint32_t count);
    uint32_t (*remaining)(const DendraArchive* ar);
} DendraArchiveApi;

struct DendraArchive {
    const DendraArchiveApi* api;
};

/* The drawing surface of DrawBM; colours are 0xRRGGBB, text is UTF-8. */
typedef struct DendraDCApi {
    void (*fill_rect)(DendraDC* dc, int32_t x, int32_t y, int32_t width, int32_t height,
                      uint32_t rgb);
    void (*draw_line)(DendraDC* dc, int32_t x1, int32_t y1, int32_t x2, int32_t y2);
    void (*draw_text)(DendraDC* dc, int32_t x, int32_t y, const char* text);
} DendraDCApi;

struct DendraDC {
    const DendraDCApi* api;
};

/* The exports, as the program resolves them. */
typedef void (*DendraGetFxListFn)(char* list, char* name);
typedef void (*DendraConstructorFn)(void** data, const char* typeName, int32_t* branches,
                                    uint32_t* start, uint32_t* duration, const char* libraryName);
typedef void (*DendraDestructorFn)(void** data);
typedef void (*DendraDrawBMFn)(void* data, DendraDC* dc, int32_t x, int32_t y, int32_t size);
typedef int32_t (*DendraDisplayFn)(void* data, DendraWindow* window);
typedef void (*DendraGetFxTypeNameFn)(void* data, char* text);
typedef void (*DendraGetInfoFn)(void* data, char* text);
typedef void (*DendraSolveFn)(void* data, DendraEventList* list);
typedef void (*DendraCopyFn)(void* data, const void* sourceData);
typedef void (*DendraSerializeFn)(void* data, DendraArchive* ar);
typedef void (*DendraParamsFn)(void* data);
typedef void (*DendraResetCountersFn)(void* data);
typedef void (*DendraGetSpecialNameFn)(void* data, int32_t which, char* text);
typedef void (*DendraSpecialFn)(void* data, int32_t which);

#ifdef __cplusplus
}
#endif

#endif /* DENDRA_EFFECT_H */
