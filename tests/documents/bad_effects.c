/* Effect libraries that misbehave, one per build flag, for the loader's tests:
 *   BAD_NO_LIST          no "GetFxList" export at all;
 *   BAD_NO_CONSTRUCTOR   lists an effect but exports no "Constructor";
 *   BAD_BRANCHES         its effect asks for five branches; "GetFxList" fills both buffers
 *                        to the last byte without a terminator.
 */
#include "nodes/dendra_effect.h"

#include <string.h>

#if defined(BAD_NO_LIST)
int NotAnEffectLibrary(void) {
    return 1;
}
#else
void GetFxList(char* list, char* name) {
#if defined(BAD_BRANCHES)
    /* "Hydra|Bad|" then filler up to the buffer's very end. */
    memset(list, 'x', DENDRA_FX_LIST_SIZE);
    memcpy(list, "Hydra|Bad|", 10);
    memset(name, 'N', DENDRA_FX_NAME_SIZE);
#else
    strcpy(list, "Ghost|Bad|");
    strcpy(name, "NoConstructor");
#endif
}
#endif

#if defined(BAD_BRANCHES)
void Constructor(void** data, const char* typeName, int32_t* branches, uint32_t* start,
                 uint32_t* duration, const char* libraryName) {
    (void)typeName;
    (void)start;
    (void)duration;
    (void)libraryName;
    *data = NULL;
    *branches = 5;
}
#endif
