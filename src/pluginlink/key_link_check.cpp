#include "pluginlink/key_link_check.h"

std::atomic<bool> KeyLinkCheck::started{false};
