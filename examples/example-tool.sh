#!/bin/sh
echo "example tool 1.4.2"
