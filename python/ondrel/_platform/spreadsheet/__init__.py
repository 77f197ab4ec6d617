"""The two spreadsheet add-ons of the embedded platform: evaluate and fill (template) jobs.

Both read the workbook with openpyxl, write the values, recalculate every formula with
LibreOffice Calc run headless (see :mod:`.libreoffice`) and read or upload the result.
"""
