#pragma once

// The port-name rule both programs apply before a port is touched.

// True when the name is COM followed by one to three decimal digits.
bool is_com_port_name(const char* name);
