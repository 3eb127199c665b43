#pragma once
// The `keelbox` command line: argument dispatch for the jobs that need no display.
