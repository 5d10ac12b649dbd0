#!/usr/bin/env bash
echo "make run: not yet - the demo installation arrives with the page frame and the home page."
