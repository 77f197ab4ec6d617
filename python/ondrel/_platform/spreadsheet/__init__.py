"""The spreadsheet add-ons of the embedded platform: evaluate, fill (template) and Excel-runner jobs.

Each reads the workbook's layout with openpyxl, writes the values, recalculates every formula with
LibreOffice Calc run headless (see :mod:`.libreoffice`) and reads or uploads the result.
"""
