/* An example effect library, written against nodes/dendra_effect.h alone.
 *
 * Two effects of the family "Examples":
 *   Pulse      no branch: a note every `interval` ms of its window (every fourth one accented);
 *   Transpose  one branch: the branch's notes moved by `semitones` (special command "Up an
 *              Octave" adds twelve).
 * Each stores its settings as a few bytes of its own. Build it as a shared object and put its
 * path into one of the library slots of the settings (or pass --library PATH to dendra-cli).
 */
#include "nodes/dendra_effect.h"

#include <stdlib.h>
#include <string.h>

#define KIND_PULSE 1
#define KIND_TRANSPOSE 2

typedef struct Effect {
    int kind;
    /* Pulse */
    uint8_t pitch;
    uint8_t velocity;
    uint16_t interval;
    uint32_t count; /* notes given since the last reset */
    /* Transpose */
    int8_t semitones;
} Effect;

static void Put(char* buffer, size_t size, const char* text) {
    strncpy(buffer, text, size - 1);
    buffer[size - 1] = '\0';
}

void GetFxList(char* list, char* name) {
    Put(list, DENDRA_FX_LIST_SIZE, "Pulse|Examples|Transpose|Examples|");
    Put(name, DENDRA_FX_NAME_SIZE, "ExampleEffects");
}

void Constructor(void** data, const char* typeName, int32_t* branches, uint32_t* start,
                 uint32_t* duration, const char* libraryName) {
    Effect* e = (Effect*)calloc(1, sizeof(Effect));
    (void)start;
    (void)duration;
    (void)libraryName;
    *data = e;
    *branches = 0;
    if (!e) return;
    if (strcmp(typeName, "Transpose") == 0) {
        e->kind = KIND_TRANSPOSE;
        e->semitones = 7;
        *branches = 1;
    } else {
        e->kind = KIND_PULSE;
        e->pitch = 42;
        e->velocity = 80;
        e->interval = 250;
    }
}

void Destructor(void** data) {
    free(*data);
    *data = NULL;
}

void GetFxTypeName(void* data, char* text) {
    const Effect* e = (const Effect*)data;
    Put(text, DENDRA_FX_TEXT_SIZE, e && e->kind == KIND_TRANSPOSE ? "Transpose" : "Pulse");
}

void GetInfo(void* data, char* text) {
    const Effect* e = (const Effect*)data;
    Put(text, DENDRA_FX_TEXT_SIZE,
        e && e->kind == KIND_TRANSPOSE
            ? "Transpose moves the notes of its left branch by a number of semitones."
            : "Pulse plays one note at a steady interval over its window.");
}

static void SolvePulse(Effect* e, DendraEventList* list) {
    const DendraEventListApi* api = list->api;
    const uint32_t now = api->now(list);
    const uint32_t from = api->window_start(list);
    api->clear(list);
    if (e->interval == 0 || (now - from) % e->interval != 0) {
        /* Between notes: ask for the next one. */
        if (e->interval) api->lower_next(list, now + e->interval - (now - from) % e->interval);
        return;
    }
    DendraEvent note;
    memset(&note, 0, sizeof note);
    note.kind = DENDRA_EVENT_MIDI;
    note.time = now;
    note.duration = e->interval / 2;
    note.status = 0x99; /* a drum note on channel 10 */
    note.data1 = e->pitch;
    note.data2 = e->count % 4 == 0 ? 127 : e->velocity;
    api->add(list, &note);
    ++e->count;
    api->lower_next(list, now + e->interval);
}

static void SolveTranspose(Effect* e, DendraEventList* list) {
    const DendraEventListApi* api = list->api;
    api->solve_branch(list, 1);
    const int32_t n = api->count(list);
    for (int32_t i = 0; i < n; ++i) {
        DendraEvent ev;
        if (!api->get(list, i, &ev) || ev.kind != DENDRA_EVENT_MIDI) continue;
        const uint8_t kind = ev.status & 0xF0;
        if (kind != 0x90 && kind != 0x80) continue;
        const int pitch = ev.data1 + e->semitones;
        ev.data1 = (uint8_t)(pitch < 0 ? 0 : pitch > 127 ? 127 : pitch);
        api->set(list, i, &ev);
    }
}

void Solve(void* data, DendraEventList* list) {
    Effect* e = (Effect*)data;
    if (!e) return;
    if (e->kind == KIND_TRANSPOSE)
        SolveTranspose(e, list);
    else
        SolvePulse(e, list);
}

void Copy(void* data, const void* sourceData) {
    Effect* e = (Effect*)data;
    const Effect* s = (const Effect*)sourceData;
    if (e && s && e->kind == s->kind) *e = *s;
}

/* Pulse: pitch, velocity, interval (little-endian); Transpose: semitones. */
void Serialize(void* data, DendraArchive* ar) {
    Effect* e = (Effect*)data;
    const DendraArchiveApi* api = ar->api;
    uint8_t b[4];
    if (!e) return;
    if (api->is_storing(ar)) {
        if (e->kind == KIND_TRANSPOSE) {
            b[0] = (uint8_t)e->semitones;
            api->write(ar, b, 1);
        } else {
            b[0] = e->pitch;
            b[1] = e->velocity;
            b[2] = (uint8_t)(e->interval & 0xFF);
            b[3] = (uint8_t)(e->interval >> 8);
            api->write(ar, b, 4);
        }
        return;
    }
    if (e->kind == KIND_TRANSPOSE) {
        if (api->read(ar, b, 1)) e->semitones = (int8_t)b[0];
    } else if (api->read(ar, b, 4)) {
        e->pitch = b[0];
        e->velocity = b[1];
        e->interval = (uint16_t)(b[2] | b[3] << 8);
    }
}

void ResetCounters(void* data) {
    Effect* e = (Effect*)data;
    if (e) e->count = 0;
}

void GetSpecialName(void* data, int32_t which, char* text) {
    const Effect* e = (const Effect*)data;
    if (e && e->kind == KIND_TRANSPOSE && which == 1)
        Put(text, DENDRA_FX_TEXT_SIZE, "Up an Octave");
}

void Special(void* data, int32_t which) {
    Effect* e = (Effect*)data;
    if (e && e->kind == KIND_TRANSPOSE && which == 1 && e->semitones <= 127 - 12)
        e->semitones = (int8_t)(e->semitones + 12);
}

int32_t Display(void* data, DendraWindow* window) {
    (void)data;
    (void)window;
    return 1; /* the event graph */
}

void DrawBM(void* data, DendraDC* dc, int32_t x, int32_t y, int32_t size) {
    const Effect* e = (const Effect*)data;
    dc->api->fill_rect(dc, x, y, size, size, e && e->kind == KIND_TRANSPOSE ? 0x3070C0 : 0xC07030);
    dc->api->draw_text(dc, x + 2, y + 2, e && e->kind == KIND_TRANSPOSE ? "T" : "P");
}
