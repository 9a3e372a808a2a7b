"""Stand-in for Katana's FarmAPI; the analyser only needs it to import."""
