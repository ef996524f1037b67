// The activate hook for the test build of the tool (kru_trialhooks): says that it ran and with
// which active set, and returns a result the tool must ignore.
#include "kru/kru_actions.h"
#include "krul/krul.h"
#include "platform/qz.h"

extern "C" int kru_activate_hook_post(krul_data* rec, hostconfig*)
{
    qz_printf("activate hook: actset %d\n", rec->actset);
    return 5;
}
