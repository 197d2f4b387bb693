#!/usr/bin/env bash
echo "(demo-flashutil: not built yet)"
