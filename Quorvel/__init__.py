"""Quorvel: a small RGB image type with its own PNG and BMP codecs."""
