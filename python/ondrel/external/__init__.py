"""Integrations with outside engineering programs and services."""
