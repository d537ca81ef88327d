#!/bin/sh
# SPDX-License-Identifier: MIT
echo "example tool 1.4.2"
