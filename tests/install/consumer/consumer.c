/* A host program built against an installed publicQ31: it includes the
 * public header from the install, links the installed library, and checks
 * that the library answers refusals the way the header promises, without
 * any meter or port. Exit status 0 when every check holds. */
#include <stdio.h>
#include <string.h>

#include "publicQ31.h"

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "consumer: FAILED: %s\n", what);
        ++failures;
    }
}

static void Q31_CALL on_ident(const q31_result* result, const SDevIdent* ident, void* user) {
    (void)result;
    (void)ident;
    (void)user;
}

int main(void) {
    const char* text = q31_strerror(Q31_ERR_SESSION);
    check(text != NULL && text[0] != '\0', "q31_strerror(Q31_ERR_SESSION) has a text");
    check(q31_strerror(-12345) != NULL, "q31_strerror of an unknown status is not null");

    q31_options options;
    memset(&options, 0xAB, sizeof options);
    q31_options_init(&options);
    check(options.echo == 0 && options.slave_address == 201 && options.timeout_ms == 2000 &&
              options.send_limit == Q31_DEFAULT_SEND_LIMIT,
          "q31_options_init fills the documented defaults");
    options.timeout_ms = 0;
    check(q31_session_open(0, &options) == NULL, "q31_session_open refuses a time-out of 0");

    check(q31_get_id(NULL, on_ident, NULL) == Q31_ERR_SESSION, "q31_get_id refuses a null session");
    check(q31_cancel(NULL) == Q31_ERR_SESSION, "q31_cancel refuses a null session");

    /* A null slot record changes nothing: requests still find no slot. */
    InitSlot(NULL);
    check(GetID() == 1, "GetID without a slot record returns 1");
    SDevIdent dev;
    memset(&dev, 0, sizeof dev);
    dev.DevType = 5120;
    check(GetModuleCount(&dev) == 1, "GetModuleCount without a slot record returns 1");

    if (failures == 0) printf("consumer: ok\n");
    return failures == 0 ? 0 : 1;
}
