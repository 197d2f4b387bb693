#!/usr/bin/env bash
echo "(bench-hex: not built yet)"
