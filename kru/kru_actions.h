// kru/kru_actions.h: the action handlers. Each takes the settings of the invocation and
// returns its result, which becomes the exit status unchanged.
#pragma once

#include "kru/kru_settings.h"

using kru_action_fn = int (*)(kru_settings* s);

// "nemfinfo NEMF [-all]": the content parts of an image, and its signature check.
int kru_action_nemfinfo(kru_settings* s);
int kru_action_help(kru_settings* s);

// Runs the handler of s->action, or reports "Unknown action". The result of the action.
int kru_dispatch(kru_settings* s);
