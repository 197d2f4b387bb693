#!/usr/bin/env bash
echo "(demo-dfu: not built yet)"
