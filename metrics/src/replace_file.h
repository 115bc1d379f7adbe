// The platform's rename that replaces an existing file in one step.
#pragma once

// 0, or the errno of the failure.
int replace_file(const char* from, const char* to);
