"""Shared pytest set-up: makes the fixture builders importable as `fixtures`."""
