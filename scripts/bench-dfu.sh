#!/usr/bin/env bash
echo "(bench-dfu: not built yet)"
