// Everything an application needs from the SDK.
#pragma once

#include "kova_const.h"
#include "kova_err.h"
#include "kova_function.h"
#include "kova_history.h"
#include "kova_message_address.h"
#include "kova_object.h"
#include "kova_object_broadcast.h"
#include "kova_object_call.h"
#include "kova_object_event.h"
#include "kova_object_signal.h"
#include "kova_proxy_object.h"
#include "kova_proxy_object_broadcast.h"
#include "kova_proxy_object_call.h"
#include "kova_proxy_object_event.h"
#include "kova_proxy_object_signal.h"
#include "kova_typedef.h"
