"""Engineering SDK: model objects, spreadsheet jobs and analysis runners."""
