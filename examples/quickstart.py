"""Compress a real ECG recording with verdalix and report size and error."""
import verdalix

print("verdalix imported; exports:", verdalix.__all__)
